#include <sys/stat.h>

#include "base/file_identity.h"

namespace {

std::int64_t Nanoseconds(const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + static_cast<std::int64_t>(time.tv_nsec);
}

}  // namespace

bool ReadFileIdentity(const std::filesystem::path& file, FileIdentity& identity) {
    struct stat info {};
    if (::lstat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    identity = {static_cast<std::uint64_t>(info.st_size), Nanoseconds(info.st_mtim), Nanoseconds(info.st_ctim),
        static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
    return true;
}
