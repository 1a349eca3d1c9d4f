// What permissions and links do to the delete and copy phases on POSIX.

#include <unistd.h>

#include <algorithm>

#include "apply/copy_phase.h"
#include "apply/delete_phase.h"
#include "test_support.h"

TEST(DeleteOutdatedFilesPosix, FirstFailedDeletionEndsThePhase) {
    ScratchDir dir;
    const fs::path install = dir.path / "game", extract = install / "_update_temp";
    WriteTree(install, {"a.dat", "b.dat", "c/c.dat", "d/d.dat", "locked/1.dat", "locked/2.dat", "_update_temp/x"});
    LogCapture log;
    ASSERT_TRUE(RunAsNobody(dir.path, install / "locked", [&] { DeleteOutdatedFiles(install, extract); }));
    const auto lines = log.Messages();
    ASSERT_FALSE(lines.empty());
    // The failed deletion's line is the last one, and no later file was tried.
    EXPECT_TRUE(lines.back().starts_with("Deleting old file: locked\\")) << lines.back();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](auto& l) { return l.find("locked") != l.npos; }), 1);
    EXPECT_TRUE(fs::exists(install / "locked" / "1.dat") && fs::exists(install / "locked" / "2.dat"));
    // Every other file is gone exactly when its line was written.
    for (const char* file : {"a.dat", "b.dat", "c/c.dat", "d/d.dat"}) {
        std::string line = std::string("Deleting old file: ") + file;
        std::replace(line.begin(), line.end(), '/', '\\');
        EXPECT_NE(std::find(lines.begin(), lines.end(), line) != lines.end(), fs::exists(install / file)) << file;
    }
}

TEST(CopyNewFilesPosix, ReadOnlyDestinationIsRefusedForOrdinaryUsers) {
    ScratchDir dir;
    const fs::path install = dir.path / "game";
    WriteTree(dir.path, {"pkg/settings.ini=new", "game/settings.ini=old"});
    fs::permissions(install / "settings.ini", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    LogCapture log;
    // The child reports the result through its exit code.
    ASSERT_TRUE(RunAsNobody(dir.path, {}, [&] { _exit(CopyNewFiles(dir.path / "pkg", install) == 1 ? 0 : 3); }));
    EXPECT_EQ(ReadBytes(install / "settings.ini"), "old");
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"Failed to copy: " + (install / "settings.ini").string()});
}

TEST(DeleteOutdatedFilesPosix, LinksToDirectoriesAreNeverFollowed) {
    ScratchDir dir;
    const fs::path install = dir.path / "game", extract = install / "_update_temp";
    WriteTree(dir.path, {"outside/precious.dat", "game/_update_temp/x"});
    fs::create_directory_symlink(dir.path / "outside", install / "linked");
    DeleteOutdatedFiles(install, extract);
    RemoveEmptyDirectories(install, extract);
    EXPECT_TRUE(fs::exists(dir.path / "outside" / "precious.dat"));
    EXPECT_TRUE(fs::is_symlink(install / "linked"));
}
