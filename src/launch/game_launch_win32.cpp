#include <windows.h>

#include <string>
#include <vector>

#include "base/owned_handle_win32.h"
#include "launch/game_launch.h"

namespace {

bool CreateGameProcess(const std::wstring& executable, const std::wstring& workingDir, DWORD& error) {
    std::wstring text = L"\"" + executable + L"\" --skip-updater";
    std::vector<wchar_t> commandLine(text.begin(), text.end());
    commandLine.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, workingDir.c_str(), &startup,
                        &process)) {
        error = GetLastError();
        return false;
    }
    OwnedHandle thread(process.hThread), started(process.hProcess);  // the game is not waited for
    return true;
}

// The 8.3 form of a path, or the path itself when the volume has none.
std::wstring ShortForm(const std::wstring& path) {
    DWORD size = GetShortPathNameW(path.c_str(), nullptr, 0);
    if (size == 0) return path;
    std::wstring shortPath(size, L'\0');
    DWORD length = GetShortPathNameW(path.c_str(), shortPath.data(), size);
    if (length == 0 || length >= size) return path;
    shortPath.resize(length);
    return shortPath;
}

}  // namespace

bool StartGameProcess(const std::filesystem::path& executable, const std::filesystem::path& workingDir,
                      std::uint32_t& errorCode) {
    DWORD error = 0;
    if (CreateGameProcess(executable.native(), workingDir.native(), error)) return true;
    // A process cannot be started from a path of MAX_PATH or more characters,
    // nor given such a working directory; their short forms usually fit.
    if (executable.native().size() >= MAX_PATH || workingDir.native().size() >= MAX_PATH) {
        DWORD retryError = 0;
        if (CreateGameProcess(ShortForm(executable.native()), ShortForm(workingDir.native()), retryError)) return true;
    }
    errorCode = error;
    return false;
}
