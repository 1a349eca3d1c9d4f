#include <windows.h>

#include "base/install_directory.h"
#include "base/log.h"
#include "loader/instance_lock.h"
#include "loader/loader_window_win32.h"

// Any command line is ignored; the exit code is always 0.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    if (!StartAsOnlyUpdater(GetInstallDirectory())) return 0;
    RunLoaderWindow();
    LogLine(L"=== Updater end (loader) ===");
    return 0;
}
