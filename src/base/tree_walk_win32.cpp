#include <windows.h>

#include <system_error>

#include "base/long_path.h"
#include "base/tree_walk.h"

namespace {

// The standard library's own answers about an entry come from a C runtime
// call that fails at 260 characters; the system's attributes do not.
DWORD AttributesOf(const std::filesystem::directory_entry& entry) {
    return GetFileAttributesW(LongPath(entry.path()).c_str());
}

bool Has(DWORD attributes, DWORD bits) { return attributes != INVALID_FILE_ATTRIBUTES && (attributes & bits) != 0; }

}  // namespace

// A link to a file counts as a file.
bool IsRegularFile(const std::filesystem::directory_entry& entry) {
    const DWORD attributes = AttributesOf(entry);
    return attributes != INVALID_FILE_ATTRIBUTES && !Has(attributes, FILE_ATTRIBUTE_DIRECTORY);
}

bool IsRealDirectory(const std::filesystem::directory_entry& entry) {
    const DWORD attributes = AttributesOf(entry);
    return Has(attributes, FILE_ATTRIBUTE_DIRECTORY) && !Has(attributes, FILE_ATTRIBUTE_REPARSE_POINT);
}

// Links and junctions both carry the reparse-point attribute; neither is followed.
bool IsLinkEntry(const std::filesystem::directory_entry& entry) {
    return Has(AttributesOf(entry), FILE_ATTRIBUTE_REPARSE_POINT);
}

// The standard directory iterator of this toolchain stops at paths of 260 or
// more characters; the system's own listing of the long form does not.
bool ReadDirectory(const std::filesystem::path& directory, std::vector<std::filesystem::directory_entry>& entries) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW((LongPath(directory) / L"*").c_str(), FindExInfoBasic, &found,
        FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) return false;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        std::error_code ec;
        entries.emplace_back(directory / name, ec);
    } while (FindNextFileW(search, &found));
    const bool complete = GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(search);
    return complete;
}
