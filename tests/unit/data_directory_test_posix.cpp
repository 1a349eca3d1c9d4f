#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "apply_test_support.h"
#include "apply_test_support_posix.h"
#include "userdata/data_directory.h"

using namespace apply_test;
namespace fs = std::filesystem;

namespace {

// Sets or clears an environment variable for one test and restores it after.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        Set(value);
    }
    ~ScopedEnv() { Set(old_); }

private:
    void Set(const std::optional<std::string>& value) {
        if (value) setenv(name_, value->c_str(), 1);
        else unsetenv(name_);
    }
    const char* name_;
    std::optional<std::string> old_;
};

}  // namespace

TEST(ResolveDataDirectoryPosix, UserDirsDocumentsEntryWins) {
    ScratchDir dir;
    std::string home = dir.path.string();
    WriteFile(dir.path / "cfg" / "user-dirs.dirs",
              "# XDG_DOCUMENTS_DIR=\"$HOME/Commented\"\n"
              "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
              "XDG_DOCUMENTS_DIR=\"$HOME/Dok\\\"umente\"\n");
    ScopedEnv h("HOME", home);
    ScopedEnv x("XDG_CONFIG_HOME", home + "/cfg");
    EXPECT_EQ(ResolveDataDirectory().string(), home + "/Dok\"umente/Ardentfall Data");

    WriteFile(dir.path / "cfg" / "user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"/srv/docs\"\n");
    EXPECT_EQ(ResolveDataDirectory().string(), "/srv/docs/Ardentfall Data");
}

TEST(ResolveDataDirectoryPosix, FallsBackToHomeDocuments) {
    ScratchDir dir;
    std::string home = dir.path.string();
    ScopedEnv h("HOME", home);
    ScopedEnv x("XDG_CONFIG_HOME", std::nullopt);  // ~/.config/user-dirs.dirs does not exist
    EXPECT_EQ(ResolveDataDirectory().string(), home + "/Documents/Ardentfall Data");

    WriteFile(dir.path / "cfg" / "user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"relative/docs\"\n");
    ScopedEnv y("XDG_CONFIG_HOME", home + "/cfg");
    EXPECT_EQ(ResolveDataDirectory().string(), home + "/Documents/Ardentfall Data");
}

TEST(ResolveDataDirectoryPosix, NoHomeMeansNoDataDirectory) {
    ScopedEnv h("HOME", std::nullopt);
    EXPECT_TRUE(ResolveDataDirectory().empty());
    ScopedEnv e("HOME", "");
    EXPECT_TRUE(ResolveDataDirectory().empty());
}

TEST(CleanDataDirectoryPosix, LinkToADirectoryIsRemovedWithoutTouchingItsTarget) {
    ScratchDir dir;
    WriteFile(dir.path / "elsewhere" / "precious.dat");
    fs::create_directories(dir.path / "data");
    fs::create_directory_symlink(dir.path / "elsewhere", dir.path / "data" / "linked");
    CleanDataDirectory(dir.path / "data");
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir.path / "data" / "linked")));
    EXPECT_TRUE(fs::exists(dir.path / "elsewhere" / "precious.dat"));
}

TEST(CleanDataDirectoryPosix, FirstFailedRemovalEndsTheCleaningButReplaysIsStillMade) {
    ScratchDir dir;
    fs::path data = dir.path / "data";
    for (const char* name : {"a.cfg", "b.cfg", "c.cfg", "locked/inner.dat"}) WriteFile(data / name);
    OpenToEveryone(dir.path);
    OpenToEveryone(data);
    fs::permissions(data / "locked", fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    LogCapture log;
    ASSERT_TRUE(RunAsNobody([&] { CleanDataDirectory(data); }));
    auto lines = log.Messages();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Removing dir in Data: " + (data / "locked").string());
    EXPECT_TRUE(fs::exists(data / "locked" / "inner.dat"));
    EXPECT_EQ(lines.size() - 1, 3u - (fs::exists(data / "a.cfg") + fs::exists(data / "b.cfg") + fs::exists(data / "c.cfg")));
    EXPECT_TRUE(fs::is_directory(data / "Replays"));
}
