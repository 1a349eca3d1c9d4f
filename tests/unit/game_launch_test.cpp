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
    const std::string prefix = "Failed to launch torvane.exe. GLE=";
    ASSERT_TRUE(lines[1].starts_with(prefix)) << lines[1];
    const std::string code = lines[1].substr(prefix.size());
    EXPECT_TRUE(!code.empty() && code.find_first_not_of("0123456789") == std::string::npos) << "unsigned: " << code;
    EXPECT_TRUE(code == "0" || code[0] != '0') << "no leading zeros: " << code;
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
        EXPECT_EQ(WaitForLaunchRecord(installDir), ExpectedLaunchRecord(installDir)) << trailingSeparator;
    }
}
