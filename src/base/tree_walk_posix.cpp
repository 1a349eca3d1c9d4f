#include <system_error>

#include "base/tree_walk.h"

// The answers come from what the listing already read, without another call.
bool IsRegularFile(const std::filesystem::directory_entry& entry) {
    std::error_code ec;
    return entry.is_regular_file(ec) && !ec;
}

bool IsRealDirectory(const std::filesystem::directory_entry& entry) {
    std::error_code ec;
    return entry.is_directory(ec) && !ec && !IsLinkEntry(entry);
}

bool IsLinkEntry(const std::filesystem::directory_entry& entry) {
    std::error_code ec;
    return entry.is_symlink(ec) && !ec;
}

bool ReadDirectory(const std::filesystem::path& directory, std::vector<std::filesystem::directory_entry>& entries) {
    std::error_code ec;
    std::filesystem::directory_iterator it(directory, ec);
    for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) entries.push_back(*it);
    return !ec;
}
