#include <chrono>
#include <regex>
#include <thread>

#include "base/text.h"
#include "launch/game_launch.h"
#include "launch/launch_plan.h"
#include "test_support.h"

TEST(LaunchGame, MissingOrUnstartableGameIsLoggedOnly) {
    ScratchDir dir;
    LogCapture log;
    LaunchGame(dir.path);
    fs::create_directory(dir.path / "torvane.exe");
    LaunchGame(dir.path);
    const auto lines = log.Messages();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "torvane.exe missing. Cannot launch.");
    // The error code unsigned, without leading zeros.
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(Failed to launch torvane\.exe\. GLE=(0|[1-9][0-9]*))")))
        << lines[1];
}

// An install path with blanks and non-ASCII characters, given with or without
// a trailing separator, started from another working directory: the game sees
// its own quoted path, only the switch, and the install directory as its
// working directory.
TEST(LaunchGame, StartsTheGameFromTheInstallDirectory) {
    for (const bool trailingSeparator : {false, true}) {
        ScratchDir root;
        const fs::path installDir = root.path / fs::path(u8"Game Dir \u00e9\u4e2d");
        fs::create_directories(installDir);
        InstallGameStub(installDir);
        LogCapture log;
        LaunchGame(trailingSeparator ? installDir.native() + fs::path::preferred_separator : installDir.native());
        EXPECT_EQ(log.Messages(), std::vector<std::string>{"Launched torvane.exe successfully."});
        std::error_code ec;  // the stand-in writes its record once it runs
        for (int i = 0; i < 400 && (fs::file_size(installDir / "launched.txt", ec) == 0 || ec); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the writer finish
        EXPECT_EQ(ReadBytes(installDir / "launched.txt"), ExpectedLaunchRecord(installDir)) << trailingSeparator;
    }
}

// A path too long to start from: its short forms, where the drive keeps them.
TEST(LaunchPlan, ShortFormsOrAWordedRefusal) {
    const std::wstring longDir = L"C:\\" + std::wstring(260, L'd'), longGame = longDir + L"\\torvane.exe";
    const std::wstring shortDir = L"C:\\DDDDDD~1", shortGame = shortDir + L"\\TORVANE.EXE";
    const std::wstring edge = L"C:\\" + std::wstring(kLongestStartablePath - 3, L'e');
    const struct {
        LaunchPaths paths;
        LaunchPlan plan;
    } rows[] = {
        {{L"C:\\Game\\torvane.exe", L"C:\\Game"},
            {true, L"C:\\Game\\torvane.exe", L"C:\\Game\\torvane.exe", L"C:\\Game"}},
        {{edge, edge}, {true, edge, edge, edge}},  // as long as a start takes
        {{longGame, longDir, shortGame, shortDir, shortDir}, {true, L"torvane.exe", shortGame, shortDir, shortDir}},
        {{edge + L"x", edge, edge, edge, edge}, {true, edge.substr(3) + L"x", edge, edge, edge}},  // one too long
        // No short names: the system gives the long path back, or nothing.
        {{longGame, longDir, longGame, longDir, longDir}, {}},
        {{longGame, longDir, {}, {}, {}}, {}},
        {{longGame, longDir, shortGame, longDir, shortDir}, {}},
    };
    for (const auto& row : rows) {
        const LaunchPlan plan = PlanLaunch(row.paths);
        EXPECT_EQ(plan.start, row.plan.start) << WideToUtf8(row.paths.program);
        if (!plan.start) {
            EXPECT_EQ(WideToUtf8(plan.refusal),
                "torvane.exe cannot be started: its path is 275 characters long, more "
                "than Windows starts a program from, and its drive keeps no short (8.3) "
                "names to start it by. Move the game to a shorter path (such as "
                "C:\\Games\\Torvane).");
            continue;
        }
        EXPECT_EQ(plan.opened, row.plan.opened);
        EXPECT_EQ(plan.shown, row.plan.shown);
        EXPECT_EQ(plan.directory, row.plan.directory);
        EXPECT_EQ(plan.changeTo, row.plan.changeTo);
    }
}
