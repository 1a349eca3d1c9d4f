#include <windows.h>

#include <string>
#include <vector>

#include "base/long_path.h"
#include "base/owned_handle_win32.h"
#include "launch/game_launch.h"

namespace {

// `opened` is what the system opens: the executable's path, or its name alone
// when it lies in the current directory; `shown` is its path on the command line.
bool CreateGameProcess(
    const std::wstring& opened, const std::wstring& shown, const std::wstring& workingDir, DWORD& error) {
    std::wstring text = L"\"" + shown + L"\" --skip-updater";
    std::vector<wchar_t> commandLine(text.begin(), text.end());
    commandLine.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(opened.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, workingDir.c_str(),
            &startup, &process)) {
        error = GetLastError();
        return false;
    }
    OwnedHandle thread(process.hThread), started(process.hProcess);  // the game is not waited for
    return true;
}

// A "\\?\" form back in the ordinary spelling that process creation takes.
std::wstring OrdinaryForm(const std::wstring& path) {
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + path.substr(8);
    if (path.rfind(L"\\\\?\\", 0) == 0) return path.substr(4);
    return path;
}

// The 8.3 form the system gives for the path; empty when it gives none.
std::wstring AskShortForm(const std::wstring& path) {
    DWORD size = GetShortPathNameW(path.c_str(), nullptr, 0);
    if (size == 0) return {};
    std::wstring shortPath(size, L'\0');
    DWORD length = GetShortPathNameW(path.c_str(), shortPath.data(), size);
    if (length == 0 || length >= size) return {};
    shortPath.resize(length);
    return shortPath;
}

// The 8.3 form of a path, or the path itself when the volume has none. A
// system that refuses to look up a path this long is asked with its long form.
std::wstring ShortForm(const std::wstring& path) {
    std::wstring shortPath = AskShortForm(path);
    if (shortPath.empty()) shortPath = OrdinaryForm(AskShortForm(LongPath(path).native()));
    return shortPath.empty() ? path : shortPath;
}

}  // namespace

bool StartGameProcess(
    const std::filesystem::path& executable, const std::filesystem::path& workingDir, std::uint32_t& errorCode) {
    std::wstring opened = executable.native(), shown = opened, directory = workingDir.native();
    // A process cannot be started from a path of MAX_PATH or more characters,
    // nor given such a working directory; their short forms usually fit. The
    // program is then named from its own directory, made the updater's current
    // one (the updater ends after the start): Wine cannot even find a program
    // by a short path whose long form is that long.
    if (shown.size() >= MAX_PATH || directory.size() >= MAX_PATH) {
        shown = ShortForm(shown);
        directory = ShortForm(directory);
        const bool inProgramDir = SetCurrentDirectoryW(ShortForm(executable.parent_path().native()).c_str());
        opened = inProgramDir ? executable.filename().native() : shown;
    }
    DWORD error = 0;
    if (CreateGameProcess(opened, shown, directory, error)) return true;
    errorCode = error;
    return false;
}
