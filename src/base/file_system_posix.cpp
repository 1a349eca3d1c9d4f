#include "base/file_system.h"

namespace fs = std::filesystem;

fs::file_status EntryStatus(const fs::path& path, std::error_code& ec) { return fs::symlink_status(path, ec); }

fs::file_status TargetStatus(const fs::path& path, std::error_code& ec) { return fs::status(path, ec); }

std::uint64_t FileSize(const fs::path& file, std::error_code& ec) { return fs::file_size(file, ec); }

void ResizeFile(const fs::path& file, std::uint64_t size, std::error_code& ec) { fs::resize_file(file, size, ec); }

bool RemoveEntry(const fs::path& path, std::error_code& ec) { return fs::remove(path, ec); }

bool MakeDirectory(const fs::path& directory, std::error_code& ec) { return fs::create_directory(directory, ec); }

bool IsEmptyDirectory(const fs::path& directory, std::error_code& ec) { return fs::is_empty(directory, ec); }

bool AreOneFile(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    return fs::equivalent(a, b, ec) && !ec;
}
