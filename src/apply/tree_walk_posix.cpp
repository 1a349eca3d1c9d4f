#include <system_error>

#include "apply/tree_walk.h"

bool IsLinkEntry(const std::filesystem::directory_entry& entry) {
    std::error_code ec;
    return entry.is_symlink(ec) && !ec;
}
