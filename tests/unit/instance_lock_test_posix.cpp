#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "loader/instance_lock.h"
#include "test_support.h"

// The game runs on after the updater ends: the lock must not go with it.
TEST(TakeInstanceLockPosix, AStartedProgramDoesNotKeepTheLock) {
    ScratchDir scratch("lockexec");
    int started[2];
    ASSERT_EQ(::pipe2(started, O_CLOEXEC), 0);
    pid_t child = ::fork();
    if (child == 0) {
        // The write end closes with the exec, which tells the test that the game runs.
        if (TakeInstanceLock(scratch.path) == InstanceLock::Taken) ::execl("/bin/sleep", "sleep", "60", nullptr);
        ::_exit(1);
    }
    ::close(started[1]);
    char byte;
    EXPECT_EQ(::read(started[0], &byte, 1), 0);
    ::close(started[0]);
    EXPECT_EQ(TakeInstanceLock(scratch.path), InstanceLock::Taken);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}
