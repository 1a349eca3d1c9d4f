#include <windows.h>

#include <string>
#include <vector>

#include "base/log.h"
#include "base/long_path.h"
#include "base/owned_handle_win32.h"
#include "launch/game_launch.h"
#include "launch/launch_plan.h"

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

// The 8.3 form of a path, or the path itself when its drive keeps none (too
// long, then, to start from). A system that refuses to look up a path this
// long is asked with its long form.
std::wstring ShortForm(const std::wstring& path) {
    std::wstring shortPath = AskShortForm(path);
    if (shortPath.empty()) shortPath = OrdinaryForm(AskShortForm(LongPath(path).native()));
    return shortPath.empty() ? path : shortPath;
}

}  // namespace

bool StartGameProcess(
    const std::filesystem::path& executable, const std::filesystem::path& workingDir, std::uint32_t& errorCode) {
    LaunchPaths paths{executable.native(), workingDir.native()};
    if (paths.program.size() > kLongestStartablePath || paths.folder.size() > kLongestStartablePath) {
        paths.programShort = ShortForm(paths.program);
        paths.folderShort = ShortForm(paths.folder);
        paths.programFolderShort = ShortForm(executable.parent_path().native());
    }
    LaunchPlan plan = PlanLaunch(paths);
    if (!plan.start) {
        LogLine(plan.refusal);
        errorCode = ERROR_FILENAME_EXCED_RANGE;
        return false;
    }
    // The updater ends after the start, so its current directory is free to change.
    if (!plan.changeTo.empty() && !SetCurrentDirectoryW(plan.changeTo.c_str())) plan.opened = plan.shown;
    DWORD error = 0;
    if (CreateGameProcess(plan.opened, plan.shown, plan.directory, error)) return true;
    errorCode = error;
    return false;
}
