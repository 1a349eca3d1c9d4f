#include <chrono>
#include <regex>
#include <thread>

#include "launch/game_launch.h"
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
