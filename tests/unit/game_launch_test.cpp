#include <gtest/gtest.h>

#include "game_launch_support.h"
#include "launch/game_launch.h"
#include "test_support.h"

using testing_support::LogCapture;
using testing_support::ScratchDir;

TEST(LaunchGame, MissingExecutableIsLoggedOnly) {
    LogCapture log;
    ScratchDir dir;
    LaunchGame(dir.path);
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"torvane.exe missing. Cannot launch."});
}

TEST(LaunchGame, DirectoryNamedLikeTheGameFailsWithItsCode) {
    LogCapture log;
    ScratchDir dir;
    std::filesystem::create_directory(dir.path / "torvane.exe");
    LaunchGame(dir.path);
    auto lines = log.Messages();
    ASSERT_EQ(lines.size(), 1u);
    const std::string prefix = "Failed to launch torvane.exe. GLE=";
    ASSERT_EQ(lines[0].rfind(prefix, 0), 0u) << lines[0];
    const std::string code = lines[0].substr(prefix.size());
    ASSERT_FALSE(code.empty());
    EXPECT_EQ(code.find_first_not_of("0123456789"), std::string::npos) << "unsigned decimal: " << code;
    EXPECT_TRUE(code == "0" || code[0] != '0') << "no leading zeros: " << code;
}

TEST(LaunchGame, StartsTheGameFromTheInstallDirectory) {
    // An install path with blanks and non-ASCII characters, started from
    // another working directory: the game sees its own quoted path, only the
    // switch, and the install directory as its working directory.
    ScratchDir root;
    const auto installDir = root.path / std::filesystem::path(u8"Game Dir \u00e9\u4e2d");
    std::filesystem::create_directories(installDir);
    InstallGameStub(installDir);
    LogCapture log;
    LaunchGame(installDir);
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"Launched torvane.exe successfully."});
    EXPECT_EQ(WaitForLaunchRecord(installDir), ExpectedLaunchRecord(installDir));
}

TEST(LaunchGame, TrailingSeparatorGivesTheSamePath) {
    ScratchDir root;
    InstallGameStub(root.path);
    LogCapture log;
    LaunchGame(root.path.native() + std::filesystem::path::preferred_separator);
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"Launched torvane.exe successfully."});
    const std::string record = WaitForLaunchRecord(root.path);
    EXPECT_NE(record.find("--skip-updater"), std::string::npos);
    EXPECT_EQ(record.find("torvane.exe"), record.rfind("torvane.exe"));
    EXPECT_EQ(record.find(std::string(2, static_cast<char>(std::filesystem::path::preferred_separator)) + "torvane"),
              std::string::npos)
        << record;
}
