// Holds a file open with share mode 0, as a running game holds its data:
// hold_file.exe FILE SECONDS. Writes FILE.held once the file is open.
#include <windows.h>

#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    HANDLE file = CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    HANDLE marker = CreateFileW((std::wstring(argv[1]) + L".held").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    CloseHandle(marker);
    Sleep(static_cast<DWORD>(_wtoi(argv[2])) * 1000);
    CloseHandle(file);
    return 0;
}
