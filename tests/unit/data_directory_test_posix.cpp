#include <cstdlib>
#include <optional>

#include "test_support.h"
#include "userdata/data_directory.h"

TEST(ResolveDataDirectoryPosix, UserDirsHomeAndConfigHome) {
    struct Case {
        std::optional<std::string> home;  // "~" is the scratch directory
        std::optional<std::string> configHome;
        const char* userDirs;  // in the config home, "" for none
        std::string expected;
    };
    const Case cases[] = {
        {"~", "~/cfg",
            "# XDG_DOCUMENTS_DIR=\"$HOME/No\"\nXDG_DESKTOP_DIR=\"$HOME/D\"\nXDG_DOCUMENTS_DIR=\"$HOME/Dok\\\"u\"\n",
            "~/Dok\"u/Ardentfall Data"},
        {"~", "~/cfg", "XDG_DOCUMENTS_DIR=\"/srv/docs\"\n", "/srv/docs/Ardentfall Data"},
        {"~", "~/cfg", "XDG_DOCUMENTS_DIR=\"relative/docs\"\n", "~/Documents/Ardentfall Data"},
        {"~", "~/cfg", "XDG_DOCUMENTS_DIR=\"/srv/do\\", "/srv/do\\/Ardentfall Data"},  // no closing quote
        {"~", std::nullopt, "", "~/Documents/Ardentfall Data"},
        {"~", "relative", "", "~/Documents/Ardentfall Data"},
        {std::nullopt, "~/cfg", "XDG_DOCUMENTS_DIR=\"/srv/docs\"\n", ""},
        {"", std::nullopt, "", ""},
    };
    const std::optional<std::string> home = std::getenv("HOME") ? std::optional(std::getenv("HOME")) : std::nullopt;
    for (const Case& c : cases) {
        ScratchDir dir;
        auto expand = [&](std::string text) {
            return text.starts_with("~") ? dir.path.string() + text.substr(1) : text;
        };
        if (*c.userDirs) WriteBytes(dir.path / "cfg" / "user-dirs.dirs", c.userDirs);
        SetEnvironment("HOME", c.home ? std::optional(expand(*c.home)) : std::nullopt);
        SetEnvironment("XDG_CONFIG_HOME", c.configHome ? std::optional(expand(*c.configHome)) : std::nullopt);
        EXPECT_EQ(ResolveDataDirectory().string(), expand(c.expected)) << c.userDirs;
    }
    SetEnvironment("HOME", home);
    unsetenv("XDG_CONFIG_HOME");
}

TEST(CleanDataDirectoryPosix, LinkToADirectoryIsRemovedWithoutTouchingItsTarget) {
    ScratchDir dir;
    WriteTree(dir.path, {"elsewhere/precious.dat", "data/"});
    fs::create_directory_symlink(dir.path / "elsewhere", dir.path / "data" / "linked");
    CleanDataDirectory(dir.path / "data");
    ExpectTree(ReadTree(dir.path), {"data/Replays/", "elsewhere/precious.dat"});
}

TEST(CleanDataDirectoryPosix, FirstFailedRemovalEndsTheCleaningButReplaysIsStillMade) {
    ScratchDir dir;
    const fs::path data = dir.path / "data";
    WriteTree(data, {"a.cfg", "b.cfg", "c.cfg", "locked/inner.dat"});
    LogCapture log;
    ASSERT_TRUE(RunAsNobody(dir.path, data / "locked", [&] { CleanDataDirectory(data); }));
    const auto lines = log.Messages();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Removing dir in Data: " + (data / "locked").string());
    EXPECT_EQ(
        lines.size() - 1, 3u - (fs::exists(data / "a.cfg") + fs::exists(data / "b.cfg") + fs::exists(data / "c.cfg")));
    EXPECT_TRUE(fs::is_directory(data / "Replays"));
}
