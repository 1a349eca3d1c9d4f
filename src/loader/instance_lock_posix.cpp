#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "loader/instance_lock.h"

// flock on the install directory itself, so no lock file is left in the
// installation. The descriptor stays open for the life of the process and is
// closed on exec, so the game never inherits the lock.
InstanceLock TakeInstanceLock(const std::filesystem::path& installDir) {
    int directory = ::open(installDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) return InstanceLock::Unavailable;
    int result = 0;
    do {
        result = ::flock(directory, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0) return InstanceLock::Taken;
    bool held = errno == EWOULDBLOCK;
    ::close(directory);
    return held ? InstanceLock::HeldElsewhere : InstanceLock::Unavailable;
}

// The other updater's front end is a terminal, or nothing: there is no window to raise.
void ShowRunningUpdater(const std::filesystem::path&) {}
