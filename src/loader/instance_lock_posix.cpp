#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "base/owned_fd_posix.h"
#include "loader/instance_lock.h"

// flock on the install directory itself, so no lock file is left in the
// installation. The descriptor stays open for the life of the process and is
// closed on exec, so the game never inherits the lock.
InstanceLock TakeInstanceLock(const std::filesystem::path& installDir) {
    OwnedFd directory(::open(installDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory) return InstanceLock::Unavailable;
    int result = 0;
    do {
        result = ::flock(directory.Get(), LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        directory.Release();  // held for the life of the process
        return InstanceLock::Taken;
    }
    return errno == EWOULDBLOCK ? InstanceLock::HeldElsewhere : InstanceLock::Unavailable;
}

// The other updater's front end is a terminal, or nothing: there is no window to raise.
void ShowRunningUpdater(const std::filesystem::path&) {}
