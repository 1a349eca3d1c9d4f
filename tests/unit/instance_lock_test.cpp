#include <thread>

#include "base/log.h"
#include "loader/instance_lock.h"
#include "test_support.h"

namespace {

// Another copy of the updater as far as the lock can tell: the Windows mutex
// belongs to a thread, and each flock call here opens the directory anew.
InstanceLock TakeFromAnotherThread(const std::filesystem::path& installDir) {
    InstanceLock result = InstanceLock::Unavailable;
    std::thread([&] { result = TakeInstanceLock(installDir); }).join();
    return result;
}

}  // namespace

TEST(TakeInstanceLock, OneHolderPerInstallation) {
    ScratchDir scratch("lock");
    const auto game = scratch.path / "Game";
    const auto other = scratch.path / "Other Game";
    WriteTree(scratch.path, {"Game/", "Other Game/"});
    // This thread keeps the lock until the test program ends, as the updater's main thread does.
    ASSERT_EQ(TakeInstanceLock(game), InstanceLock::Taken);
    EXPECT_EQ(TakeFromAnotherThread(game), InstanceLock::HeldElsewhere);
    EXPECT_EQ(TakeFromAnotherThread(other / ".." / "Game"), InstanceLock::HeldElsewhere) << "another spelling";
    EXPECT_EQ(TakeFromAnotherThread(other), InstanceLock::Taken) << "another installation";

    // A second updater appends its one line to the running one's log, which it never empties.
    WriteBytes(game / "updater.log", "[2026-01-01 10:00:00] the running updater's line\r\n");
    bool started = true;
    std::thread([&] { started = StartAsOnlyUpdater(game); }).join();
    EXPECT_FALSE(started);
    CloseLog();
    // The one that runs writes its start marker (the log being due, it is emptied first).
    ASSERT_TRUE(StartAsOnlyUpdater(scratch.path));
    CloseLog();
    EXPECT_EQ(ReadBytes(game / "updater.log").substr(0, 50), "[2026-01-01 10:00:00] the running updater's line\r\n");
    EXPECT_NE(ReadBytes(game / "updater.log")
                  .find("] Another updater is already running for this installation; exiting.\r\n"),
        std::string::npos);
    EXPECT_NE(ReadBytes(scratch.path / "updater.log").find("] === Updater start (loader) ===\r\n"), std::string::npos);
}
