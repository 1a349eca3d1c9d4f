#include <windows.h>

#include <system_error>

#include "base/entry_kind.h"
#include "base/long_path.h"
#include "base/tree_walk.h"

namespace {

// The standard library's own answers about an entry come from a C runtime
// call that fails at 260 characters; the system's attributes do not.
DWORD AttributesOf(const std::filesystem::directory_entry& entry) {
    return GetFileAttributesW(LongPath(entry.path()).c_str());
}

// A reparse point costs one more open, for its tag; a vanished entry is a file.
EntryKind KindOf(const std::filesystem::directory_entry& entry) {
    const DWORD attributes = AttributesOf(entry);
    return attributes == INVALID_FILE_ATTRIBUTES ? EntryKind::File : KindAt(entry.path(), attributes);
}

}  // namespace

// A link to a file counts as a file.
bool IsRegularFile(const std::filesystem::directory_entry& entry) {
    const DWORD attributes = AttributesOf(entry);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// A cloud placeholder or other reparse point that is no link is walked.
bool IsRealDirectory(const std::filesystem::directory_entry& entry) { return KindOf(entry) == EntryKind::Directory; }

// Symbolic links and junctions, by their reparse tag; neither is followed.
bool IsLinkEntry(const std::filesystem::directory_entry& entry) { return KindOf(entry) == EntryKind::Link; }

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
