#include <gtest/gtest.h>

#include "apply/copy_phase.h"
#include "apply_test_support.h"
#include "apply_test_support_posix.h"

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

TEST(CopyNewFilesPosix, ReadOnlyDestinationIsRefusedForOrdinaryUsers) {
    ScratchDir dir;
    fs::path install = dir.path / "game";
    WriteFile(dir.path / "pkg" / "settings.ini", "new");
    WriteFile(install / "settings.ini", "old");
    fs::permissions(install / "settings.ini", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    for (const fs::path& p : {dir.path, install, dir.path / "pkg"}) OpenToEveryone(p);
    LogCapture log;
    std::uint32_t missing = 99;
    // The child reports the result through its exit code.
    ASSERT_TRUE(RunAsNobody([&] { missing = CopyNewFiles(dir.path / "pkg", install); if (missing != 1) _exit(3); }));
    EXPECT_EQ(ReadBytes(install / "settings.ini"), "old");
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"Failed to copy: " + (install / "settings.ini").string()});
}
