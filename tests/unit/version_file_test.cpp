#include "version/version_file.h"
#include "test_support.h"

using namespace std::string_literals;

namespace {

std::string Utf16(const std::string& ascii) {
    std::string bytes = "\xFF\xFE";
    for (char c : ascii) bytes += std::string{c, '\0'};
    return bytes;
}

}  // namespace

// File bytes -> the game and updater versions read (each preset to "0.0.0").
TEST(ReadVersionFile, KeysValuesAndOddBytes) {
    std::string junkLines, huge(5 * 1024 * 1024, '9');
    for (int i = 0; i < 100; ++i) junkLines += std::string(1023, 'j') + "\n";
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"Game-Version:1.2.3   \n", "1.2.3", "0.0.0"},
        {"game-version = 1.2.3\n", "0.0.0", "0.0.0"},  // no colon, no value
        {"updater-version: 2.0:beta\n", "0.0.0", "2.0:beta"},
        {"game-version:\n", "", "0.0.0"},
        {"game-version: 1\ngame-version: 2\n", "2", "0.0.0"},  // the last one counts
        {"  game-version\t: 1.4.2 \t\r\n# comment\n\nother: x\nupdater-version: 1.0.0 ", "1.4.2", "1.0.0"},
        {"\xEF\xBB\xBFgame-version: 1.2.3\r\nupdater-version: 4\r\n", "0.0.0", "4"},  // the mark belongs to the key
        {"\0\xFF\xFEgame\0version: 9\n<html>404</html>"s, "0.0.0", "0.0.0"},
        {"\0\0\xFF\xFE junk \xC3\x28\r\n\0\r\ngame-version: 1.2.4\r\n\xC3\x28\xA0: \xA1\0\r\n"
         "updater-version: 9.9.9\r\n\xF8\x88\x80\0"s,
            "1.2.4", "9.9.9"},
        {"game-version: 1.2.4\0\xFF\xFE\r\nupdater-version: 9.\xC3\x28\0\r\n"s, "1.2.4\0\xFF\xFE"s, "9.\xC3\x28\0"s},
        {Utf16("game-version: 1.2.4\r\nupdater-version: 9.9.9\r\n"), "0.0.0", "0.0.0"},
        {"game-version: 1.2.4\n" + junkLines + "updater-version: 9\n", "1.2.4", "9"},
        {"game-version: 1.2.4\njunk " + huge + "\nupdater-version: 9\n", "1.2.4", "9"},
        {"game-version: 1.2.4" + huge + "\nupdater-version: 9", "0.0.0", "9"},  // an overlong value is not taken
        {"game-version: " + std::string(1010, '1') + "\n", std::string(1010, '1'), "0.0.0"},  // 1,024 bytes
        {"game-version: " + std::string(1011, '1') + "\n", "0.0.0", "0.0.0"},
    };
    for (const auto& [bytes, game, updater] : cases) {
        ScratchDir dir;
        WriteBytes(dir.path / "version.txt", bytes);
        VersionInfo info{"0.0.0", "0.0.0"};
        EXPECT_TRUE(ReadVersionFile(dir.path / "version.txt", info));
        EXPECT_EQ(info.gameVersion + " / " + info.updaterVersion, game + " / " + updater)
            << testing::PrintToString(bytes.substr(0, 60));
    }
    VersionInfo untouched{"a", "b"};
    EXPECT_FALSE(ReadVersionFile(ScratchDir().path / "version.txt", untouched));
    EXPECT_EQ(untouched.gameVersion + untouched.updaterVersion, "ab");
}

TEST(WriteVersionFile, ExactBytesReplacingTheOldFileWhole) {
    ScratchDir dir;
    const fs::path file = dir.path / "version.txt";
    WriteBytes(file, "game-version: 1.0.0\r\nupdater-version: 1.0.0\r\nmore: lines\r\n");
    ASSERT_TRUE(WriteVersionFile(file, {"1.1.0", "2.0:beta"}));
    ExpectTree(ReadTree(dir.path), {"version.txt=game-version: 1.1.0\r\nupdater-version: 2.0:beta\r\n"});
    fs::remove(file);
    fs::create_directories(file / "sub");  // a directory in the way
    EXPECT_FALSE(WriteVersionFile(file, {"1.1.0", "1.0.0"}));
    EXPECT_FALSE(WriteVersionFile(dir.path / "missing" / "version.txt", {"1", "1"}));
    ExpectTree(ReadTree(dir.path), {"version.txt/sub/"});
}

TEST(CompareVersions, OrdersDottedNumbersNeverThrowing) {
    const std::tuple<std::string, std::string, int> cases[] = {
        {"1.2.3", "1.10.0", -1},
        {"2.0", "1.9.9", 1},
        {"1.2", "1.2", 0},
        {"1.2", "1.2.0", -1},
        {"1.2.0", "1.2", 1},
        {"0.0.0", "0.0.0", 0},
        {"1.02", "1.2", 0},
        {"7b", "7", 0},
        {"1.2.", "1.2", 0},
        {"", "", 0},
        {"", "0", -1},
        {" 7", "7", 0},
        {"+3", "3", 0},
        {"1.x", "1.0", 0},
        {"1..2", "1.0.2", 0},
        {".5", "0.5", 0},
        {"1. ", "1.0", 0},
        {"-1", "0", -1},
        {"1.-1", "1.0", -1},
        {std::string(100000, '9'), "1", 1},
        // Components of any length, compared exactly.
        {"1.0.20250101120000", "1.0.20250101130000", -1},
        {"1.0.20250101130000", "1.0.20250101120000", 1},
        {"99999999999", "2147483647", 1},
        {"18446744073709551617", "18446744073709551616", 1},
        {"-99999999999", "-2147483648", -1},
        {"-12", "-9", -1},
        {"0000000000000000000012", "12", 0},
        {"-0", "+0", 0},
        {"-00", "0", 0},
        {"1.2.4\0\xFF\xFE"s, "1.2.4", 0},
        {"1.2.5", "1.2.4\0\xFF\xFE"s, 1},
    };
    for (const auto& [a, b, expected] : cases)
        EXPECT_EQ(CompareVersions(a, b), expected) << testing::PrintToString(a.substr(0, 20)) << " vs " << b;
}
