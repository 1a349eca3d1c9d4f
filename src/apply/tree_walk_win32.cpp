#include <windows.h>

#include <system_error>

#include "apply/tree_walk.h"

// Links and junctions both carry the reparse-point attribute; neither is followed.
bool IsLinkEntry(const std::filesystem::directory_entry& entry) {
    std::error_code ec;
    if (entry.is_symlink(ec) && !ec) return true;
    DWORD attributes = GetFileAttributesW(entry.path().c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}
