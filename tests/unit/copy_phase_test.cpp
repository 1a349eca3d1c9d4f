#include <gtest/gtest.h>

#include <algorithm>

#include "apply/copy_phase.h"
#include "apply_test_support.h"
#include "services/text.h"

using namespace apply_test;
namespace fs = std::filesystem;

namespace {

struct Package {
    ScratchDir dir{"copy"};
    fs::path install = dir.path / "game";
    fs::path extract = install / "_update_temp";
    Package() { fs::create_directories(extract); }
    void Packaged(const fs::path& relative, const std::string& bytes) { WriteFile(extract / relative, bytes); }
    std::string Installed(const fs::path& relative) const { return ReadBytes(install / relative); }
};

// The log line for a path: one byte per character up to U+00FF, '?' above.
std::string LineFor(const std::string& label, const fs::path& path) {
    std::string line = label;
    for (wchar_t c : PathToWide(path)) line += c <= 0xFF ? static_cast<char>(c) : '?';
    return line;
}

}  // namespace

TEST(CountFiles, CountsRegularFilesAtAnyDepth) {
    Package t;
    fs::create_directories(t.extract / "only" / "dirs");
    EXPECT_EQ(CountFiles(t.extract), 0u);
    t.Packaged("a.txt", "1");
    t.Packaged("x/y/z/b.txt", "2");
    EXPECT_EQ(CountFiles(t.extract), 2u);
    EXPECT_EQ(CountFiles(t.dir.path / "missing"), 0u);
}

TEST(CopyNewFiles, CreatesMissingLevelsAndOverwrites) {
    Package t;
    t.Packaged("Maps/custom/arena.map", "new map");
    t.Packaged("version.txt", "game-version: 2");  // protected names are copied like any file
    WriteFile(t.install / "version.txt", "game-version: 1");
    fs::create_directories(t.extract / "emptydir");
    LogCapture log;
    EXPECT_EQ(CopyNewFiles(t.extract, t.install), 0u);
    EXPECT_EQ(t.Installed("Maps/custom/arena.map"), "new map");
    EXPECT_EQ(t.Installed("version.txt"), "game-version: 2");
    EXPECT_FALSE(fs::exists(t.install / "emptydir"));
    auto lines = log.Messages();
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{LineFor("Copied: ", t.install / "Maps" / "custom" / "arena.map"),
                                               LineFor("Copied: ", t.install / "version.txt")}));
}

TEST(CopyNewFiles, EmptyPackageCopiesAndLogsNothing) {
    Package t;
    LogCapture log;
    EXPECT_EQ(CopyNewFiles(t.extract, t.install), 0u);
    EXPECT_TRUE(log.Messages().empty());
}

TEST(CopyNewFiles, RefusedCopyIsLoggedCountedAndThePhaseGoesOn) {
    Package t;
    t.Packaged("blocked.dat", "x");
    t.Packaged("fine.dat", "y");
    fs::create_directories(t.install / "blocked.dat");  // a directory cannot be overwritten by a file
    LogCapture log;
    EXPECT_EQ(CopyNewFiles(t.extract, t.install), 1u);
    EXPECT_EQ(t.Installed("fine.dat"), "y");
    auto lines = log.Messages();
    EXPECT_NE(std::find(lines.begin(), lines.end(), LineFor("Failed to copy: ", t.install / "blocked.dat")),
              lines.end());
    EXPECT_EQ(lines.size(), 2u);
}

TEST(CopyNewFiles, DirectoryThatCannotBeCreatedEndsThePhaseAsIncomplete) {
    Package t;
    for (const char* name : {"a.dat", "b.dat", "blocker/inside.dat", "c.dat", "d/d.dat"}) t.Packaged(name, name);
    WriteFile(t.install / "blocker", "a file where a directory must go");
    LogCapture log;
    std::uint32_t missing = CopyNewFiles(t.extract, t.install);
    // Whatever the walk order, the result counts exactly the files that did not arrive.
    std::uint32_t absent = 0;
    for (const char* name : {"a.dat", "b.dat", "blocker/inside.dat", "c.dat", "d/d.dat"})
        absent += ReadBytes(t.install / name) == name ? 0 : 1;
    EXPECT_EQ(missing, absent);
    EXPECT_GE(missing, 1u);
    auto lines = log.Messages();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), LineFor("Failed to copy: ", t.install / "blocker" / "inside.dat"));
}

TEST(CopyNewFiles, MissingExtractionDirectoryIsIncomplete) {
    Package t;
    EXPECT_GE(CopyNewFiles(t.dir.path / "missing", t.install), 1u);
}

TEST(CopyNewFiles, ALinkAtATargetIsReplacedNeverWrittenThrough) {
    Package t;
    const fs::path outside = t.dir.path / "outside";
    WriteFile(outside / "precious.dat", "outside");
    struct Link {
        const char* target;
        fs::path pointsTo;
    };
    const Link links[] = {{"to_file.dat", outside / "precious.dat"}, {"to_directory.dat", outside}};
    for (const Link& link : links) {
        t.Packaged(link.target, "new");
        std::error_code ec;
        if (fs::is_directory(link.pointsTo)) fs::create_directory_symlink(link.pointsTo, t.install / link.target, ec);
        else fs::create_symlink(link.pointsTo, t.install / link.target, ec);
        if (ec) GTEST_SKIP() << "links cannot be made here: " << ec.message();
    }
    LogCapture log;
    EXPECT_EQ(CopyNewFiles(t.extract, t.install), 0u);
    for (const Link& link : links) {
        EXPECT_FALSE(fs::is_symlink(t.install / link.target)) << link.target;
        EXPECT_EQ(t.Installed(link.target), "new") << link.target;
    }
    EXPECT_EQ(ReadBytes(outside / "precious.dat"), "outside");
    EXPECT_EQ(std::distance(fs::directory_iterator(outside), fs::directory_iterator()), 1);
}

TEST(CopyNewFiles, NonAsciiNamesAreCopied) {
    Package t;
    t.Packaged(U8(u8"Cart\u00E9s/\u65E5\u672C.map"), "m");
    LogCapture log;
    EXPECT_EQ(CopyNewFiles(t.extract, t.install), 0u);
    EXPECT_EQ(t.Installed(U8(u8"Cart\u00E9s/\u65E5\u672C.map")), "m");
    EXPECT_EQ(log.Messages(),
              std::vector<std::string>{LineFor("Copied: ", t.install / U8(u8"Cart\u00E9s") / U8(u8"\u65E5\u672C.map"))});
}

TEST(RemoveEmptyDirectoriesAfterCopy, RemovesEmptyChainsInnermostFirst) {
    Package t;
    fs::create_directories(t.install / "a" / "b" / "c");
    WriteFile(t.install / "full" / "deep" / "file.dat");
    fs::create_directories(t.extract / "emptied");
    t.Packaged("kept.dat", "k");
    LogCapture log;
    RemoveEmptyDirectoriesAfterCopy(t.install);
    auto lines = log.Messages();
    auto at = [&](const fs::path& p) {
        return std::find(lines.begin(), lines.end(), LineFor("Removing empty dir (post-copy): ", p)) - lines.begin();
    };
    EXPECT_EQ(lines.size(), 4u);
    EXPECT_LT(at(t.install / "a" / "b" / "c"), at(t.install / "a" / "b"));
    EXPECT_LT(at(t.install / "a" / "b"), at(t.install / "a"));
    EXPECT_LT(at(t.install / "a"), 4);
    EXPECT_LT(at(t.extract / "emptied"), 4);
    EXPECT_FALSE(fs::exists(t.install / "a"));
    EXPECT_TRUE(fs::exists(t.install / "full" / "deep" / "file.dat"));
    EXPECT_TRUE(fs::exists(t.extract / "kept.dat"));
}

TEST(RemoveEmptyDirectoriesAfterCopy, EmptyInstallDirectoryStays) {
    ScratchDir dir;
    LogCapture log;
    RemoveEmptyDirectoriesAfterCopy(dir.path);
    EXPECT_TRUE(fs::exists(dir.path));
    EXPECT_TRUE(log.Messages().empty());
}
