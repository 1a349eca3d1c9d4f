#include <gtest/gtest.h>

#include "test_support.h"
#include "worker/version_file.h"

using testing_support::ReadBytes;
using testing_support::ScratchDir;
using testing_support::WriteBytes;

namespace {

VersionInfo ReadFrom(const std::string& bytes) {
    ScratchDir dir;
    WriteBytes(dir.path / "version.txt", bytes);
    VersionInfo info{"0.0.0", "0.0.0"};
    EXPECT_TRUE(ReadVersionFile(dir.path / "version.txt", info));
    return info;
}

}  // namespace

TEST(ReadVersionFile, KeysValuesAndLineEnds) {
    EXPECT_EQ(ReadFrom("game-version: 1.2.3\n").gameVersion, "1.2.3");
    EXPECT_EQ(ReadFrom("Game-Version:1.2.3   \n").gameVersion, "1.2.3");
    EXPECT_EQ(ReadFrom("game-version = 1.2.3\n").gameVersion, "0.0.0") << "no colon, no value";
    EXPECT_EQ(ReadFrom("updater-version: 2.0:beta\n").updaterVersion, "2.0:beta");
    EXPECT_EQ(ReadFrom("game-version:\n").gameVersion, "") << "empty value is stored";
    EXPECT_EQ(ReadFrom("game-version: 1\ngame-version: 2\n").gameVersion, "2") << "last occurrence wins";

    VersionInfo crlf = ReadFrom("game-version: 1.4.2\r\nupdater-version: 1.0.0\r\n");
    VersionInfo lf = ReadFrom("game-version: 1.4.2\nupdater-version: 1.0.0");
    VersionInfo blanks = ReadFrom("  game-version\t: 1.4.2 \t\r\n# comment\n\nother: x\nupdater-version: 1.0.0 ");
    for (const VersionInfo& v : {crlf, lf, blanks}) {
        EXPECT_EQ(v.gameVersion, "1.4.2");
        EXPECT_EQ(v.updaterVersion, "1.0.0");
    }
}

TEST(ReadVersionFile, ByteOrderMarkBelongsToTheFirstKey) {
    VersionInfo info = ReadFrom("\xEF\xBB\xBFgame-version: 1.2.3\r\nupdater-version: 4\r\n");
    EXPECT_EQ(info.gameVersion, "0.0.0");
    EXPECT_EQ(info.updaterVersion, "4");
}

TEST(ReadVersionFile, BinaryJunkKeepsPresets) {
    VersionInfo info = ReadFrom(std::string("\0\xFF\xFEgame\0version: 9\n<html>404</html>", 32));
    EXPECT_EQ(info.gameVersion, "0.0.0");
    EXPECT_EQ(info.updaterVersion, "0.0.0");
}

TEST(ReadVersionFile, MissingFileLeavesRecordUnchanged) {
    ScratchDir dir;
    VersionInfo info{"a", "b"};
    EXPECT_FALSE(ReadVersionFile(dir.path / "version.txt", info));
    EXPECT_EQ(info.gameVersion, "a");
    EXPECT_EQ(info.updaterVersion, "b");
}

TEST(WriteVersionFile, ExactBytesAndRoundTrip) {
    ScratchDir dir;
    const auto file = dir.path / "version.txt";
    ASSERT_TRUE(WriteVersionFile(file, {"1.4.2", "1.0.0"}));
    EXPECT_EQ(ReadBytes(file), "game-version: 1.4.2\r\nupdater-version: 1.0.0\r\n");
    ASSERT_TRUE(WriteVersionFile(file, {"", "2.0:beta"}));
    VersionInfo back{"x", "y"};
    ASSERT_TRUE(ReadVersionFile(file, back));
    EXPECT_EQ(back.gameVersion, "");
    EXPECT_EQ(back.updaterVersion, "2.0:beta");
    EXPECT_FALSE(WriteVersionFile(dir.path / "missing" / "version.txt", {"1", "1"}));
}

TEST(CompareVersions, OrdersDottedNumbers) {
    struct Case {
        const char* a;
        const char* b;
        int expected;
    };
    const Case cases[] = {
        {"1.2.3", "1.10.0", -1}, {"2.0", "1.9.9", 1}, {"1.2", "1.2", 0},     {"1.2", "1.2.0", -1},
        {"1.2.0", "1.2", 1},     {"0.0.0", "0.0.0", 0}, {"1.02", "1.2", 0},  {"7b", "7", 0},
        {"1.2.", "1.2", 0},      {"", "", 0},          {"", "0", -1},        {"1.2.3", "1.2.4", -1},
        {"1.2.4", "1.2.3", 1},   {" 7", "7", 0},       {"+3", "3", 0},
        // Components of any length, compared exactly.
        {"1.0.20250101120000", "1.0.20250101130000", -1}, {"1.0.20250101130000", "1.0.20250101120000", 1},
        {"99999999999", "2147483647", 1}, {"18446744073709551617", "18446744073709551616", 1},
        {"-99999999999", "-2147483648", -1}, {"-12", "-9", -1}, {"0000000000000000000012", "12", 0},
        {"-0", "+0", 0},         {"-00", "0", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(CompareVersions(c.a, c.b), c.expected) << c.a << " vs " << c.b;
}

TEST(CompareVersions, NeverThrowsOnMalformedComponents) {
    EXPECT_EQ(CompareVersions("1.x", "1.0"), 0) << "no digit counts as 0";
    EXPECT_EQ(CompareVersions("1..2", "1.0.2"), 0);
    EXPECT_EQ(CompareVersions(".5", "0.5"), 0);
    EXPECT_EQ(CompareVersions("1. ", "1.0"), 0);
    EXPECT_EQ(CompareVersions("-1", "0"), -1);
    EXPECT_EQ(CompareVersions("1.-1", "1.0"), -1);
    EXPECT_EQ(CompareVersions(std::string(100000, '9'), "1"), 1);
}

TEST(WriteVersionFile, ReplacesTheOldFileWholeAndLeavesNoTemporary) {
    ScratchDir dir;
    const auto file = dir.path / "version.txt";
    WriteBytes(file, "game-version: 1.0.0\r\nupdater-version: 1.0.0\r\n");
    ASSERT_TRUE(WriteVersionFile(file, {"1.1.0", "1.0.0"}));
    EXPECT_EQ(ReadBytes(file), "game-version: 1.1.0\r\nupdater-version: 1.0.0\r\n");
    EXPECT_FALSE(std::filesystem::exists(dir.path / "version.txt.tmp"));
    // A directory in the way: the write fails and reports it.
    std::filesystem::remove(file);
    std::filesystem::create_directories(file / "sub");
    EXPECT_FALSE(WriteVersionFile(file, {"1.1.0", "1.0.0"}));
    EXPECT_FALSE(std::filesystem::exists(dir.path / "version.txt.tmp"));
}

TEST(ReadVersionFile, OverlongLinesArePassedOverWhole) {
    // A line far longer than any version line is skipped, key or not, and the
    // lines around it still count.
    const std::string huge(5 * 1024 * 1024, '9');
    VersionInfo info = ReadFrom("game-version: 1.2.4\n" + std::string("junk ") + huge + "\nupdater-version: 9\n");
    EXPECT_EQ(info.gameVersion, "1.2.4");
    EXPECT_EQ(info.updaterVersion, "9");
    info = ReadFrom("game-version: 1.2.4" + huge + "\nupdater-version: 9");
    EXPECT_EQ(info.gameVersion, "0.0.0") << "an overlong value is not taken";
    EXPECT_EQ(info.updaterVersion, "9") << "a last line without a line end still counts";
    EXPECT_EQ(ReadFrom("game-version: " + std::string(1000, '1')).gameVersion, std::string(1000, '1'))
        << "long but plausible lines are read";
}
