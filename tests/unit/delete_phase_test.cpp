#include <gtest/gtest.h>

#include <algorithm>

#include "apply/delete_phase.h"
#include "apply/own_executable.h"
#include "apply/tree_walk.h"
#include "apply_test_support.h"
#include "services/text.h"

using namespace apply_test;
namespace fs = std::filesystem;

namespace {

// An installation with its unpacked package in _update_temp.
struct Installation {
    ScratchDir dir{"delete"};
    fs::path install = dir.path / "game";
    fs::path extract = install / "_update_temp";
    Installation() { fs::create_directories(extract); }
    void Installed(const fs::path& relative, const std::string& bytes = "old") { WriteFile(install / relative, bytes); }
    void Packaged(const fs::path& relative) { WriteFile(extract / relative, "new"); }
    bool Has(const fs::path& relative) const { return fs::exists(install / relative); }
};

}  // namespace

TEST(ListRelative, FilesAndDirectoriesInNormalFormBelowTheRoot) {
    Installation t;
    t.Packaged("top.txt");
    t.Packaged("a/b/c.txt");
    fs::create_directories(t.extract / "empty");
    RelativePathSet files = ListRelativeFiles(t.extract);
    RelativePathSet dirs = ListRelativeDirectories(t.extract);
    EXPECT_EQ(files.size(), 2u);
    EXPECT_EQ(files.count(fs::path("top.txt").native()), 1u);
    EXPECT_EQ(files.count((fs::path("a") / "b" / "c.txt").native()), 1u);
    EXPECT_EQ(dirs.size(), 3u);
    EXPECT_EQ(dirs.count((fs::path("a") / "b").native()), 1u);
    EXPECT_EQ(dirs.count(fs::path("empty").native()), 1u);
    EXPECT_TRUE(ListRelativeFiles(t.dir.path / "missing").empty());
}

TEST(DeleteOutdatedFiles, DeletesOnlyWhatThePackageLacks) {
    Installation t;
    t.Installed("shared.dat");
    t.Installed("Sub/old.dat");
    t.Installed("Sub/kept.dat");
    t.Installed("update.zip");
    t.Packaged("shared.dat");
    t.Packaged("Sub/kept.dat");
    LogCapture log;
    DeleteOutdatedFiles(t.install, t.extract, Safelist());
    EXPECT_TRUE(t.Has("shared.dat"));
    EXPECT_TRUE(t.Has("Sub/kept.dat"));
    EXPECT_FALSE(t.Has("Sub/old.dat"));
    EXPECT_FALSE(t.Has("update.zip"));
    auto lines = log.Messages();
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"Deleting old file: Sub\\old.dat", "Deleting old file: update.zip"}));
}

TEST(DeleteOutdatedFiles, AnOutdatedSafelistGoesLast) {
    // The switch of the phase is deleted after every other outdated file, so a
    // run stopped part-way still finds it and finishes the deletions next time.
    Installation t;
    t.Installed("safelist.txt", "# nothing kept\n");
    for (int i = 0; i < 40; ++i) t.Installed("Old/f" + std::to_string(i) + ".dat");
    t.Installed("zz.dat");
    LogCapture log;
    DeleteOutdatedFiles(t.install, t.extract, Safelist());
    auto lines = log.Messages();
    ASSERT_EQ(lines.size(), 42u);
    EXPECT_EQ(lines.back(), "Deleting old file: safelist.txt");
    EXPECT_FALSE(t.Has("safelist.txt"));
}

TEST(DeleteOutdatedFiles, PackageComparisonIsExactInLetterCase) {
    Installation t;
    t.Installed("Data.PAK");
    t.Packaged("data.pak");
    LogCapture log;
    DeleteOutdatedFiles(t.install, t.extract);
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"Deleting old file: Data.PAK"});
    EXPECT_TRUE(fs::exists(t.extract / "data.pak"));
}

TEST(DeleteOutdatedFiles, SafelistProtectedNamesAndTheUpdatersOwnFilesKeepFiles) {
    Installation t;
    const std::vector<fs::path> kept = {
        "torvane.exe", "UPDATER.EXE", "version.txt", "updater.log", "_updater_just_ran.flag",
        // the updater's working files: without the stamp the next start empties this update's log
        "updater.log.ts", "__maps_pending", "version.txt.tmp", "__remote_version.txt", "update.zip.part",
        "__remote_version.txt.part", "Data/pack.dat.updater.part", WideToPath(SetAsideUpdaterName()),
        "Saves/slot1.sav", "Config/user.ini"};
    for (const fs::path& name : kept) t.Installed(name);
    t.Installed("Backup/Updater.exe");
    t.Installed("Backup/version.txt");
    t.Packaged("other.dat");
    LogCapture log;
    DeleteOutdatedFiles(t.install, t.extract, ParseSafelist("Saves/\n*.ini\n"));
    for (const fs::path& name : kept) EXPECT_TRUE(t.Has(name)) << name;
    EXPECT_FALSE(t.Has("Backup/Updater.exe"));
    EXPECT_FALSE(t.Has("Backup/version.txt"));
    EXPECT_EQ(log.Messages().size(), 2u);
}

TEST(DeleteOutdatedFiles, ReadOnlyOutdatedFileIsDeleted) {
    Installation t;
    t.Installed("readonly.dat");
    fs::permissions(t.install / "readonly.dat", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    t.Packaged("x");
    DeleteOutdatedFiles(t.install, t.extract);
    EXPECT_FALSE(t.Has("readonly.dat"));
}

TEST(DeleteOutdatedFiles, ExtractionDirectorySurvivesWithItsContent) {
    Installation t;
    t.Packaged("a/b.dat");
    fs::create_directories(t.extract / "emptydir");
    LogCapture log;
    DeleteOutdatedFiles(t.install, t.extract);
    RemoveEmptyDirectories(t.install, t.extract);
    EXPECT_TRUE(fs::exists(t.extract / "a" / "b.dat"));
    EXPECT_TRUE(fs::exists(t.extract / "emptydir"));
    EXPECT_TRUE(log.Messages().empty());
}

TEST(DeleteOutdatedFiles, NonAsciiNamesAreComparedAndLogged) {
    Installation t;
    t.Installed(U8(u8"Caf\u00E9/na\u00EFve.txt"));
    t.Installed(U8(u8"\u65E5\u672C.dat"));
    t.Packaged(U8(u8"\u65E5\u672C.dat"));
    LogCapture log;
    DeleteOutdatedFiles(t.install, t.extract);
    EXPECT_FALSE(t.Has(U8(u8"Caf\u00E9/na\u00EFve.txt")));
    EXPECT_TRUE(t.Has(U8(u8"\u65E5\u672C.dat")));
    // The log holds one byte per character up to U+00FF.
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"Deleting old file: Caf\xE9\\na\xEFve.txt"});
}

TEST(DeleteOutdatedFiles, IncompletePackageListingDeletesNothing) {
    Installation t;
    t.Installed("old.dat");
    LogCapture log;
    DeleteOutdatedFiles(t.install, t.dir.path / "no_such_package");
    EXPECT_TRUE(t.Has("old.dat"));
    EXPECT_TRUE(log.Messages().empty());
}

TEST(RemoveEmptyDirectories, NestedEmptyDirectoriesGoInnermostFirst) {
    Installation t;
    t.Installed("a/b/c/old.dat");
    fs::create_directories(t.install / "stale");
    t.Packaged("x");
    LogCapture log;
    DeleteOutdatedFiles(t.install, t.extract);
    RemoveEmptyDirectories(t.install, t.extract);
    auto lines = log.Messages();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "Deleting old file: a\\b\\c\\old.dat");
    std::vector<std::string> removals(lines.begin() + 1, lines.end());
    auto at = [&](const std::string& line) { return std::find(removals.begin(), removals.end(), line) - removals.begin(); };
    EXPECT_LT(at("Removing empty dir: a\\b\\c"), at("Removing empty dir: a\\b"));
    EXPECT_LT(at("Removing empty dir: a\\b"), at("Removing empty dir: a"));
    EXPECT_LT(at("Removing empty dir: stale"), 4);
    EXPECT_FALSE(t.Has("a"));
    EXPECT_FALSE(t.Has("stale"));
    EXPECT_TRUE(fs::exists(t.install));
}

TEST(RemoveEmptyDirectories, PackageAndSafelistDirectoriesAndTheirParentsStay) {
    Installation t;
    fs::create_directories(t.install / "Maps" / "custom");
    fs::create_directories(t.extract / "Maps" / "custom");
    t.Packaged("Maps/custom/x.map");
    fs::create_directories(t.install / "User" / "Keep" / "deep");
    fs::create_directories(t.install / "Gone" / "inner");
    LogCapture log;
    RemoveEmptyDirectories(t.install, t.extract, ParseSafelist("User/Keep\n"));
    EXPECT_TRUE(t.Has("Maps/custom"));
    EXPECT_TRUE(t.Has("User/Keep/deep"));
    EXPECT_TRUE(t.Has("User"));
    EXPECT_FALSE(t.Has("Gone"));
    EXPECT_EQ(log.Messages(),
              (std::vector<std::string>{"Removing empty dir: Gone\\inner", "Removing empty dir: Gone"}));
}

TEST(RemoveEmptyDirectories, EmptyInstallDirectoryStays) {
    ScratchDir dir;
    fs::create_directories(dir.path / "game");
    RemoveEmptyDirectories(dir.path / "game", dir.path / "game" / "_update_temp");
    EXPECT_TRUE(fs::exists(dir.path / "game"));
}

TEST(RemoveTree, RemovesEverythingButNeverEntersALink) {
    Installation t;
    t.Installed("Tree/a/b/c.dat");
    t.Installed("Tree/top.dat");
    t.Installed("Outside/precious.dat");
    fs::create_directories(t.install / "Tree" / "empty");
    std::error_code ec;
    fs::create_directory_symlink(t.install / "Outside", t.install / "Tree" / "link", ec);
    EXPECT_TRUE(RemoveTree(t.install / "Tree"));
    EXPECT_FALSE(t.Has("Tree"));
    EXPECT_TRUE(t.Has("Outside/precious.dat"));
    if (!ec) {
        fs::create_directory_symlink(t.install / "Outside", t.install / "Alias", ec);
        EXPECT_TRUE(RemoveTree(t.install / "Alias"));
        EXPECT_TRUE(t.Has("Outside/precious.dat")) << "a link given as the root is removed, not entered";
    }
    EXPECT_TRUE(RemoveTree(t.install / "never-existed"));
}
