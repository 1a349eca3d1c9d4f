// Game stand-in: records its command line and working directory next to itself
// (UTF-8, one "key=value" per line) in launched.txt.
#include <windows.h>

#include <string>

static std::string ToUtf8(const wchar_t* text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    return out;
}

int wmain() {
    wchar_t self[32768];
    DWORD n = GetModuleFileNameW(nullptr, self, 32768);
    std::wstring dir(self, n);
    dir = dir.substr(0, dir.find_last_of(L"\\/"));
    wchar_t cwd[32768];
    GetCurrentDirectoryW(32768, cwd);
    std::string record = "cmdline=" + ToUtf8(GetCommandLineW()) + "\ncwd=" + ToUtf8(cwd) + "\n";
    HANDLE file = CreateFileW(
        (dir + L"\\launched.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
    CloseHandle(file);
    return 0;
}
