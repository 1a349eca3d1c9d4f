#include <windows.h>

#include <string>
#include <vector>

#include "launch/game_launch.h"

bool StartGameProcess(const std::filesystem::path& executable, const std::filesystem::path& workingDir,
                      std::uint32_t& errorCode) {
    std::wstring text = L"\"" + executable.native() + L"\" --skip-updater";
    std::vector<wchar_t> commandLine(text.begin(), text.end());
    commandLine.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, workingDir.c_str(), &startup,
                        &process)) {
        errorCode = GetLastError();
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}
