#include "userdata/data_directory.h"
#include "test_support.h"

namespace {

struct CleaningCase {
    const char* name;
    Tree before;  // the data directory
    Tree after;
    std::vector<std::string> log;  // "~/" is the data directory
};

const CleaningCase kCleaningCases[] = {
    {"RemovesOneLevelButReplaysAndTheDownload",
        {"Replays/m.rep=r", "Maps/sub/arena.map", "settings.cfg", "__maps.zip=z"}, {"Replays/m.rep=r", "__maps.zip=z"},
        {"Removing dir in Data: ~/Maps", "Removing file in Data: ~/settings.cfg"}},
    {"KeptNamesFoldOnlyAsciiCase", {"Replays/m.rep=r", "__MAPS.ZIP=z", "R\xC3\x89plays/x", "Replays2", "maps.zip"},
        {"Replays/m.rep=r", "__MAPS.ZIP=z"},
        {"Removing dir in Data: ~/R\xC3\x89plays", "Removing file in Data: ~/Replays2",
            "Removing file in Data: ~/maps.zip"}},
    {"FileNamedReplaysStaysAndNoDirectoryReplacesIt", {"Replays=a file"}, {"Replays=a file"}, {}},
    {"EmptyDirectoryGetsAnEmptyReplays", {}, {"Replays/"}, {}},
    {"NonAsciiNamesAreRemoved", {"Cartés/x.map", "日本.cfg"}, {"Replays/"},
        {"Removing dir in Data: ~/Cartés", "Removing file in Data: ~/日本.cfg"}},
};

class CleaningTable : public testing::TestWithParam<CleaningCase> {};

TEST_P(CleaningTable, Row) {
    ScratchDir dir{"data"};
    const fs::path data = dir.path / "Ardentfall Data";
    fs::create_directories(data);
    WriteTree(data, GetParam().before);
    LogCapture log;
    CleanDataDirectory(data);
    ExpectTree(ReadTree(data), GetParam().after);
    ExpectLog(log.Messages(), GetParam().log, data);
}

INSTANTIATE_TEST_SUITE_P(CleanDataDirectory, CleaningTable, testing::ValuesIn(kCleaningCases),
    [](const testing::TestParamInfo<CleaningCase>& info) { return info.param.name; });

}  // namespace

TEST(CleanDataDirectory, MissingDirectoryIsNotCreated) {
    ScratchDir dir;
    LogCapture log;
    CleanDataDirectory(dir.path / "absent");
    EXPECT_FALSE(fs::exists(dir.path / "absent"));
    EXPECT_TRUE(log.Messages().empty());
}
