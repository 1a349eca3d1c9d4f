#pragma once
// One updater per installation: every copy takes the installation's lock
// before anything else and holds it until the process ends. The system drops
// it with the process, however that ends, so a killed updater never blocks the
// next start; another installation's lock is another lock.

#include <filesystem>

enum class InstanceLock {
    Taken,          // this process runs the installation's update
    HeldElsewhere,  // another updater runs for this installation
    Unavailable,    // the lock could not be taken at all (the update runs unguarded)
};

// Once taken, the lock stays with this process until it ends.
InstanceLock TakeInstanceLock(const std::filesystem::path& installDir);

// Brings the window of the updater that holds the lock to the front (where
// there is one to show).
void ShowRunningUpdater(const std::filesystem::path& installDir);

// The entry points' first step: takes the lock, then empties the log when due,
// opens it and writes the start marker. False when another updater runs for
// this installation: one line is appended to the log, the running updater is
// brought to the front, and the caller ends at once (exit code 0) without any
// update work or game start.
bool StartAsOnlyUpdater(const std::filesystem::path& installDir);
