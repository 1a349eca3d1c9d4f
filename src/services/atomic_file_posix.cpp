#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "services/atomic_file.h"

bool WriteAndFlush(const std::filesystem::path& file, const std::string& bytes) {
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::size_t done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    return ::close(fd) == 0 && ok;
}

bool ReplaceFileWith(const std::filesystem::path& finished, const std::filesystem::path& destination) {
    return std::rename(finished.c_str(), destination.c_str()) == 0;
}
