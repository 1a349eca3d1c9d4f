#include <windows.h>

#include "loader/loader_window_win32.h"
#include "services/install_directory.h"
#include "services/log.h"

// Any command line is ignored; the exit code is always 0.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const auto installDir = GetInstallDirectory();
    TruncateLogIfDue(installDir);
    OpenLog(installDir / "updater.log");
    LogLine(L"=== Updater start (loader) ===");
    RunLoaderWindow();
    LogLine(L"=== Updater end (loader) ===");
    return 0;
}
