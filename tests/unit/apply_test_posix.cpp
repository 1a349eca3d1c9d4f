// What permissions and links do to the delete and copy phases on POSIX.

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "apply/copy_phase.h"
#include "apply/delete_phase.h"
#include "rules/safelist.h"
#include "test_support.h"

TEST(CopyNewFilesPosix, AFullVolumeInsideTheInstallationLeavesEveryFileOldOrNew) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a file system needs root";
    ScratchDir dir;
    const fs::path install = dir.path / "game", mods = install / "Mods";
    fs::create_directories(mods);
    // Another volume inside the installation: moves into it become copies, and it fills up.
    if (mount("tmpfs", mods.c_str(), "tmpfs", 0, "size=1200k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    struct Unmount {
        fs::path at;
        ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
    } unmount{mods};
    const std::string oldBig(1000000, 'o'), newBig(1400000, 'n');
    WriteTree(install, {"Mods/big.dat=" + oldBig, "Mods/small.dat=old", "_update_temp/Mods/big.dat=" + newBig,
                           "_update_temp/Mods/small.dat=new", "_update_temp/game.dat=new"});
    LogCapture log;
    const auto openFiles = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
    const auto opened = openFiles();
    EXPECT_EQ(CopyNewFiles(install / "_update_temp", install), 1u);
    EXPECT_EQ(openFiles(), opened) << "a copy closes what it opens";
    ExpectTree(ReadTree(install, "_update_temp"), {"Mods/big.dat=" + oldBig, "Mods/small.dat=new", "game.dat=new"});
    ExpectLog(
        log.Messages(), {"Failed to copy: ~/Mods/big.dat*", "Copied: ~/Mods/small.dat", "Copied: ~/game.dat"}, install);
}

TEST(LoadSafelistPosix, AFileThePlayerCannotReadIsNotLoaded) {
    ScratchDir dir;
    WriteBytes(dir.path / "safelist.txt", "Saves/\n");
    fs::permissions(dir.path / "safelist.txt", fs::perms::none);
    // The child reports the result through its exit code.
    ASSERT_TRUE(RunAsNobody(dir.path, {}, [&] {
        Safelist entries;
        std::wstring problem;
        if (LoadSafelist(dir.path, entries, problem) || problem != L"cannot be opened (Permission denied)") _exit(3);
    }));
}

TEST(DeleteOutdatedFilesPosix, LinksToDirectoriesAreNeverFollowed) {
    ScratchDir dir;
    const fs::path install = dir.path / "game", extract = install / "_update_temp";
    WriteTree(dir.path, {"outside/precious.dat", "game/_update_temp/x"});
    fs::create_directory_symlink(dir.path / "outside", install / "linked");
    DeleteOutdatedFiles(install, extract, ListUnpackedPackage(extract));
    RemoveEmptyDirectories(install, extract, ListUnpackedPackage(extract));
    EXPECT_TRUE(fs::exists(dir.path / "outside" / "precious.dat"));
    EXPECT_TRUE(fs::is_symlink(install / "linked"));
}
