#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "apply/copy_phase.h"
#include "apply_test_support.h"

using namespace apply_test;
namespace fs = std::filesystem;

TEST(CopyNewFilesPosix, NamesThatAreNotUtf8AreCopiedApart) {
    ScratchDir dir;
    WriteFile(dir.path / "pkg" / "\xFF.dat", "ff");
    WriteFile(dir.path / "pkg" / "\xFE.dat", "fe");
    LogCapture log;
    EXPECT_EQ(CopyNewFiles(dir.path / "pkg", dir.path / "game"), 0u);
    EXPECT_EQ(ReadBytes(dir.path / "game" / "\xFF.dat"), "ff");
    EXPECT_EQ(ReadBytes(dir.path / "game" / "\xFE.dat"), "fe");
    EXPECT_EQ(log.Messages().size(), 2u);
}

TEST(CopyNewFilesPosix, AFullVolumeInsideTheInstallationLeavesEveryFileOldOrNew) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a file system needs root";
    ScratchDir dir;
    const fs::path install = dir.path / "game", extract = install / "_update_temp", mods = install / "Mods";
    fs::create_directories(mods);
    // Another volume inside the installation: moves into it become copies, and it fills up.
    if (mount("tmpfs", mods.c_str(), "tmpfs", 0, "size=1200k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    struct Unmount {
        fs::path at;
        ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
    } unmount{mods};
    const std::string oldBig(1000000, 'o'), newBig(1400000, 'n');
    WriteFile(mods / "big.dat", oldBig);
    WriteFile(mods / "small.dat", "old");
    WriteFile(extract / "Mods" / "big.dat", newBig);
    WriteFile(extract / "Mods" / "small.dat", "new");
    WriteFile(extract / "game.dat", "new");
    LogCapture log;
    EXPECT_EQ(CopyNewFiles(extract, install), 1u);
    EXPECT_EQ(ReadBytes(mods / "big.dat"), oldBig);
    EXPECT_EQ(ReadBytes(mods / "small.dat"), "new");
    EXPECT_EQ(ReadBytes(install / "game.dat"), "new");
    EXPECT_EQ(std::distance(fs::directory_iterator(mods), fs::directory_iterator()), 2) << "no temporary is left";
    EXPECT_EQ(CountStartingWith(log.Messages(), "Failed to copy: " + (mods / "big.dat").string()), 1u);
}
