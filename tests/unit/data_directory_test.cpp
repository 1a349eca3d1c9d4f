#include <gtest/gtest.h>

#include <algorithm>

#include "apply_test_support.h"
#include "services/text.h"
#include "userdata/data_directory.h"

using namespace apply_test;
namespace fs = std::filesystem;

namespace {

std::string LineFor(const std::string& label, const fs::path& path) {
    std::string line = label;
    for (wchar_t c : PathToWide(path)) line += c <= 0xFF ? static_cast<char>(c) : '?';
    return line;
}

}  // namespace

TEST(CleanDataDirectory, RemovesOneLevelAndKeepsReplaysInEveryLetterCase) {
    for (const char* replays : {"Replays", "replays", "REPLAYS"}) {
        ScratchDir dir{"data"};
        fs::path data = dir.path / "Ardentfall Data";
        WriteFile(data / replays / "match1.rep", "r");
        WriteFile(data / "Maps" / "sub" / "arena.map");
        WriteFile(data / "settings.cfg");
        WriteFile(data / "__maps.zip", "zip");
        LogCapture log;
        CleanDataDirectory(data);
        EXPECT_EQ(ReadBytes(data / replays / "match1.rep"), "r") << replays;
        EXPECT_TRUE(fs::is_directory(data / "Replays")) << replays;
        EXPECT_EQ(ReadBytes(data / "__maps.zip"), "zip");
        EXPECT_FALSE(fs::exists(data / "Maps"));
        EXPECT_FALSE(fs::exists(data / "settings.cfg"));
        auto lines = log.Messages();
        std::sort(lines.begin(), lines.end());
        EXPECT_EQ(lines, (std::vector<std::string>{LineFor("Removing dir in Data: ", data / "Maps"),
                                                   LineFor("Removing file in Data: ", data / "settings.cfg")}));
    }
}

TEST(CleanDataDirectory, RegularFileNamedReplaysSurvivesAndNoDirectoryReplacesIt) {
    ScratchDir dir;
    WriteFile(dir.path / "Replays", "a file");
    CleanDataDirectory(dir.path);
    EXPECT_EQ(ReadBytes(dir.path / "Replays"), "a file");
}

TEST(CleanDataDirectory, OnlyReplaysMeansNoChangeAndNoLine) {
    ScratchDir dir;
    WriteFile(dir.path / "Replays" / "a.rep", "r");
    LogCapture log;
    CleanDataDirectory(dir.path);
    EXPECT_EQ(ReadBytes(dir.path / "Replays" / "a.rep"), "r");
    EXPECT_TRUE(log.Messages().empty());
}

TEST(CleanDataDirectory, EmptyDirectoryGetsAnEmptyReplays) {
    ScratchDir dir;
    CleanDataDirectory(dir.path);
    EXPECT_TRUE(fs::is_directory(dir.path / "Replays"));
    EXPECT_TRUE(fs::is_empty(dir.path / "Replays"));
}

TEST(CleanDataDirectory, MissingDirectoryIsNotCreated) {
    ScratchDir dir;
    LogCapture log;
    CleanDataDirectory(dir.path / "absent");
    EXPECT_FALSE(fs::exists(dir.path / "absent"));
    EXPECT_TRUE(log.Messages().empty());
}

TEST(CleanDataDirectory, NonAsciiNamesAreRemoved) {
    ScratchDir dir;
    WriteFile(dir.path / U8(u8"Cart\u00E9s") / "x.map");
    WriteFile(dir.path / U8(u8"\u65E5\u672C.cfg"));
    LogCapture log;
    CleanDataDirectory(dir.path);
    EXPECT_FALSE(fs::exists(dir.path / U8(u8"Cart\u00E9s")));
    EXPECT_FALSE(fs::exists(dir.path / U8(u8"\u65E5\u672C.cfg")));
    EXPECT_EQ(log.Messages().size(), 2u);
}

TEST(DataDirectory, KeptNamesFoldOnlyAsciiCase) {
    EXPECT_TRUE(IsKeptDataEntry(L"rEpLaYs"));
    EXPECT_TRUE(IsKeptDataEntry(L"__maps.zip"));
    EXPECT_FALSE(IsKeptDataEntry(L"Replays2"));
    EXPECT_FALSE(IsKeptDataEntry(L"R\u00C9plays"));
    EXPECT_FALSE(IsKeptDataEntry(L"maps.zip"));
}

TEST(ResolveDataDirectory, AppendsTheDataFolderToDocuments) {
    fs::path documents = FindDocumentsFolder();
    ASSERT_FALSE(documents.empty());
    fs::path data = ResolveDataDirectory();
    EXPECT_EQ(data.filename(), "Ardentfall Data");
    EXPECT_EQ(data.native(), (documents / "Ardentfall Data").native());
}
