#include <windows.h>

#include <system_error>

#include "base/tree_walk.h"

// Links and junctions both carry the reparse-point attribute; neither is followed.
bool IsLinkEntry(const std::filesystem::directory_entry& entry) {
    std::error_code ec;
    if (entry.is_symlink(ec) && !ec) return true;
    DWORD attributes = GetFileAttributesW(entry.path().c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

namespace {

// The standard directory iterator of this toolchain stops at paths of 260 or
// more characters; the platform's own listing with the long-path prefix does not.
std::wstring SearchPattern(const std::filesystem::path& directory) {
    std::wstring text = directory.native();
    const bool prefixed = text.rfind(L"\\\\?\\", 0) == 0;
    const bool absoluteDrive = text.size() >= 3 && text[1] == L':' && (text[2] == L'\\' || text[2] == L'/');
    if (!prefixed && absoluteDrive) {
        for (wchar_t& c : text)
            if (c == L'/') c = L'\\';
        text = L"\\\\?\\" + text;
    }
    if (!text.empty() && text.back() != L'\\' && text.back() != L'/') text += L'\\';
    return text + L'*';
}

}  // namespace

bool ReadDirectory(const std::filesystem::path& directory, std::vector<std::filesystem::directory_entry>& entries) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(SearchPattern(directory).c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                     nullptr, FIND_FIRST_EX_LARGE_FETCH);
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
