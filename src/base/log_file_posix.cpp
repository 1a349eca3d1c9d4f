#include <fcntl.h>
#include <unistd.h>

#include "base/log_file.h"
#include "base/owned_fd_posix.h"
#include "base/write_all_posix.h"

LogFileHandle OpenLogFileForAppend(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return fd < 0 ? kNoLogFile : fd;
}

void CloseLogFile(LogFileHandle file) {
    if (file != kNoLogFile) ::close(static_cast<int>(file));
}

bool WriteLogBytes(LogFileHandle file, const std::string& bytes) { return WriteAll(static_cast<int>(file), bytes); }

bool TruncateFileToEmpty(const std::filesystem::path& path) {
    return static_cast<bool>(OwnedFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)));
}

std::int64_t CurrentUnixSeconds() { return static_cast<std::int64_t>(::time(nullptr)); }

std::tm ToLocalTime(std::int64_t seconds) {
    std::tm out{};
    auto t = static_cast<time_t>(seconds);
    localtime_r(&t, &out);
    return out;
}
