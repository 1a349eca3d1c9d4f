#include <thread>

#include "loader/instance_lock.h"
#include "test_support.h"

// Windows compares names without case, and object names are limited to
// MAX_PATH characters without a backslash after the namespace.
TEST(TakeInstanceLockWin32, FoldsCaseAndTakesAnyPathLength) {
    ScratchDir scratch("lockw");
    const auto game = scratch.path / L"Caf\u00e9 Game";
    auto deep = scratch.path;
    while (deep.native().size() < 300) deep /= L"a-rather-long-folder-name";
    std::filesystem::create_directories(game);
    std::filesystem::create_directories(deep);
    ASSERT_EQ(TakeInstanceLock(game), InstanceLock::Taken);
    InstanceLock upperCase = InstanceLock::Unavailable;
    InstanceLock longPath = InstanceLock::Unavailable;
    std::thread([&] {
        upperCase = TakeInstanceLock(scratch.path / L"CAF\u00c9 GAME");
        longPath = TakeInstanceLock(deep);
    }).join();
    EXPECT_EQ(upperCase, InstanceLock::HeldElsewhere);
    EXPECT_EQ(longPath, InstanceLock::Taken);
}
