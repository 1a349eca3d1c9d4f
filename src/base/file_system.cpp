#include "base/file_system.h"

namespace fs = std::filesystem;

bool MakeDirectories(const fs::path& directory, std::error_code& ec) {
    const fs::file_status status = TargetStatus(directory, ec);
    if (fs::is_directory(status)) {
        ec.clear();
        return false;
    }
    if (fs::exists(status)) {
        ec = std::make_error_code(std::errc::not_a_directory);
        return false;
    }
    const fs::path parent = directory.parent_path();
    if (!parent.empty() && parent != directory && !fs::is_directory(TargetStatus(parent, ec))) {
        MakeDirectories(parent, ec);
        if (ec) return false;
    }
    return MakeDirectory(directory, ec);
}

void RemoveQuietly(const fs::path& path) {
    std::error_code ignored;
    RemoveEntry(path, ignored);
}

bool IsSameFile(const fs::path& a, const fs::path& b) {
    return a.lexically_normal() == b.lexically_normal() || AreOneFile(a, b);
}
