#include "launch/launch_plan.h"

namespace {

bool Fits(const std::wstring& path) { return !path.empty() && path.size() <= kLongestStartablePath; }

std::wstring FileName(const std::wstring& path) {
    const std::size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

LaunchPlan Refusal(const LaunchPaths& paths) {
    LaunchPlan plan;
    plan.refusal = L"torvane.exe cannot be started: its path is " + std::to_wstring(paths.program.size()) +
                   L" characters long, more than Windows starts a program from, and its drive keeps no short (8.3) "
                   L"names to start it by. Move the game to a shorter path (such as C:\\Games\\Torvane).";
    return plan;
}

}  // namespace

LaunchPlan PlanLaunch(const LaunchPaths& paths) {
    if (Fits(paths.program) && Fits(paths.folder)) return {true, paths.program, paths.program, paths.folder, {}, {}};
    // The program is named from its own folder, made the current one: Wine
    // cannot even find a program by a short path whose long form is that long.
    if (!Fits(paths.programShort) || !Fits(paths.folderShort) || !Fits(paths.programFolderShort)) return Refusal(paths);
    return {true, FileName(paths.program), paths.programShort, paths.folderShort, paths.programFolderShort, {}};
}
