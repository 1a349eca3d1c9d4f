#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "base/atomic_file.h"
#include "base/owned_fd_posix.h"
#include "base/write_all_posix.h"

namespace {

// Every byte of `in` goes to `out`; false on a read or write error (a full disk).
bool CopyAll(int in, int out) {
    std::vector<char> buffer(1 << 20);
    while (true) {
        ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (!WriteAll(out, {buffer.data(), static_cast<std::size_t>(n)})) return false;
    }
}

}  // namespace

bool WriteAndFlush(const std::filesystem::path& file, const PieceSource& pieces) {
    OwnedFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) return false;
    bool ok = true;
    for (std::string_view piece; ok && pieces(piece);) ok = WriteAll(fd.Get(), piece);
    ok = ok && ::fsync(fd.Get()) == 0;
    return CloseChecked(fd) && ok;
}

bool CopyAndFlush(const std::filesystem::path& source, const std::filesystem::path& copy) {
    OwnedFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (!in || ::fstat(in.Get(), &info) != 0) return false;
    OwnedFd out(::open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, info.st_mode & 07777));
    if (!out) return false;
    bool ok = CopyAll(in.Get(), out.Get()) && ::fsync(out.Get()) == 0;
    return CloseChecked(out) && ok;
}

// rename(2) replaces a link at `to` itself and never follows it.
MoveOutcome MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (std::rename(from.c_str(), to.c_str()) == 0) return MoveOutcome::Moved;
    return errno == EXDEV ? MoveOutcome::OtherVolume : MoveOutcome::Refused;
}
