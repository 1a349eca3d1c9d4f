#include "loader/instance_lock.h"

#include "base/log.h"

bool StartAsOnlyUpdater(const std::filesystem::path& installDir) {
    const InstanceLock lock = TakeInstanceLock(installDir);
    if (lock == InstanceLock::HeldElsewhere) {
        // Appended: the running updater's log is never emptied from here.
        OpenLog(installDir / "updater.log");
        LogLine(L"Another updater is already running for this installation; exiting.");
        ShowRunningUpdater(installDir);
        return false;
    }
    TruncateLogIfDue(installDir);
    OpenLog(installDir / "updater.log");
    LogLine(L"=== Updater start (loader) ===");
    if (lock == InstanceLock::Unavailable)
        LogLine(L"Could not lock the installation against a second updater; updating without the lock.");
    return true;
}
