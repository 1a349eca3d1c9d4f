// Stands in for a scanner, indexer or sync client that opens a file for a
// moment: holds FILE for reading (sharing reads, and deletion with "delete"),
// opened as soon as the system allows, until the name UNTIL has existed and is
// gone, then MS milliseconds more. Exit code 0 once it held the file, 1 when
// it never could within a minute.
//   file_holder.exe FILE keep|delete UNTIL MS
#include <windows.h>

#include <string>

static bool Exists(const wchar_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

int wmain(int argc, wchar_t** argv) {
    if (argc != 5) return 2;
    const DWORD share = FILE_SHARE_READ | (std::wstring(argv[2]) == L"delete" ? FILE_SHARE_DELETE : 0);
    const ULONGLONG giveUp = GetTickCount64() + 60000;
    HANDLE held = INVALID_HANDLE_VALUE;
    while (held == INVALID_HANDLE_VALUE && GetTickCount64() < giveUp)
        held = CreateFileW(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 1;
    bool seen = false;
    while (GetTickCount64() < giveUp) {
        const bool there = Exists(argv[3]);
        if (seen && !there) break;
        seen = seen || there;
        Sleep(1);
    }
    Sleep(static_cast<DWORD>(_wtoi(argv[4])));
    CloseHandle(held);
    return 0;
}
