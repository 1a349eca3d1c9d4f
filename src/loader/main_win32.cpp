#include <windows.h>

#include "services/install_directory.h"
#include "services/log.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const auto installDir = GetInstallDirectory();
    TruncateLogIfDue(installDir);
    OpenLog(installDir / "updater.log");
    LogLine(L"=== Updater start (loader) ===");
    LogLine(L"=== Updater end (loader) ===");
    return 0;
}
