#include <gtest/gtest.h>
#include <unistd.h>

#include "apply/delete_phase.h"
#include "apply_test_support.h"
#include "apply_test_support_posix.h"

using namespace apply_test;
namespace fs = std::filesystem;

TEST(DeleteOutdatedFilesPosix, NamesThatAreNotUtf8NeverCollide) {
    ScratchDir dir;
    fs::path install = dir.path / "game", extract = install / "_update_temp";
    // Both names decode to the same text (U+FFFD + ".dat") but are different files.
    WriteFile(install / "\xFF.dat");
    WriteFile(install / "\xFE.dat");
    WriteFile(extract / "\xFE.dat");
    LogCapture log;
    DeleteOutdatedFiles(install, extract);
    EXPECT_FALSE(fs::exists(install / "\xFF.dat"));
    EXPECT_TRUE(fs::exists(install / "\xFE.dat"));
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"Deleting old file: ?.dat"});
}

TEST(DeleteOutdatedFilesPosix, LinksToDirectoriesAreNeverFollowed) {
    ScratchDir dir;
    fs::path install = dir.path / "game", extract = install / "_update_temp";
    WriteFile(dir.path / "outside" / "precious.dat");
    WriteFile(extract / "x");
    fs::create_directory_symlink(dir.path / "outside", install / "linked");
    DeleteOutdatedFiles(install, extract);
    RemoveEmptyDirectories(install, extract);
    EXPECT_TRUE(fs::exists(dir.path / "outside" / "precious.dat"));
    EXPECT_TRUE(fs::is_symlink(install / "linked"));
}

TEST(DeleteOutdatedFilesPosix, FirstFailedDeletionEndsThePhase) {
    ScratchDir dir;
    fs::path install = dir.path / "game", extract = install / "_update_temp";
    for (const char* name : {"a.dat", "b.dat", "c/c.dat", "d/d.dat", "locked/1.dat", "locked/2.dat"})
        WriteFile(install / name);
    WriteFile(extract / "x");
    for (const fs::path& p : {dir.path, install, install / "c", install / "d"}) OpenToEveryone(p);
    // Files in a directory without write permission cannot be deleted by others than root.
    fs::permissions(install / "locked", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                            fs::perms::others_read | fs::perms::others_exec);
    LogCapture log;
    ASSERT_TRUE(RunAsNobody([&] { DeleteOutdatedFiles(install, extract); }));
    auto lines = log.Messages();
    ASSERT_FALSE(lines.empty());
    // The failed deletion's line is the last one, and no later file was examined.
    EXPECT_EQ(lines.back().rfind("Deleting old file: locked\\", 0), 0u) << lines.back();
    EXPECT_EQ(CountStartingWith(lines, "Deleting old file: locked\\"), 1u);
    EXPECT_LT(lines.size(), 6u);
    EXPECT_TRUE(fs::exists(install / "locked" / "1.dat"));
    EXPECT_TRUE(fs::exists(install / "locked" / "2.dat"));
    // Every other file is gone exactly when its line was written.
    const std::pair<const char*, const char*> others[] = {
        {"a.dat", "a.dat"}, {"b.dat", "b.dat"}, {"c/c.dat", "c\\c.dat"}, {"d/d.dat", "d\\d.dat"}};
    for (const auto& [file, relative] : others) {
        bool logged = std::find(lines.begin(), lines.end(), std::string("Deleting old file: ") + relative) != lines.end();
        EXPECT_NE(logged, fs::exists(install / file)) << file;
    }
}

TEST(SafelistFilePosix, AFileThePlayerCannotReadIsNotLoaded) {
    ScratchDir dir;
    WriteFile(dir.path / "safelist.txt", "Saves/\n");
    fs::permissions(dir.path / "safelist.txt", fs::perms::none);
    OpenToEveryone(dir.path);
    // The child reports the result through its exit code.
    ASSERT_TRUE(RunAsNobody([&] {
        Safelist entries;
        std::wstring problem;
        if (LoadSafelist(dir.path, entries, problem) || problem != L"cannot be opened (Permission denied)") _exit(3);
    }));
}
