#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

#include "apply/copy_phase.h"
#include "apply/delete_phase.h"
#include "apply/own_executable.h"
#include "apply_test_support.h"

using namespace apply_test;
namespace fs = std::filesystem;

namespace {

// Holds a file open with share mode 0, as a running game or tool would.
struct HeldFile {
    HANDLE handle;
    explicit HeldFile(const fs::path& file)
        : handle(CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {}
    ~HeldFile() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
};

}  // namespace

TEST(DeleteOutdatedFilesWin32, FileInUseEndsThePhase) {
    ScratchDir dir;
    fs::path install = dir.path / "game", extract = install / "_update_temp";
    for (const char* name : {"a.dat", "b.dat", "c\\c.dat", "d\\d.dat", "locked\\1.dat", "locked\\2.dat"})
        WriteFile(install / name);
    WriteFile(extract / "x");
    HeldFile first(install / "locked" / "1.dat");
    HeldFile second(install / "locked" / "2.dat");
    ASSERT_NE(first.handle, INVALID_HANDLE_VALUE);
    ASSERT_NE(second.handle, INVALID_HANDLE_VALUE);
    LogCapture log;
    DeleteOutdatedFiles(install, extract);
    auto lines = log.Messages();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("Deleting old file: locked\\", 0), 0u) << lines.back();
    EXPECT_EQ(CountStartingWith(lines, "Deleting old file: locked\\"), 1u);
    EXPECT_TRUE(fs::exists(install / "locked" / "1.dat"));
    EXPECT_TRUE(fs::exists(install / "locked" / "2.dat"));
    for (const char* name : {"a.dat", "b.dat", "c\\c.dat", "d\\d.dat"}) {
        bool logged = std::find(lines.begin(), lines.end(), std::string("Deleting old file: ") + name) != lines.end();
        EXPECT_NE(logged, fs::exists(install / name)) << name;
    }
}

TEST(DeleteOutdatedFilesWin32, ReadOnlyAttributeIsClearedBeforeDeletion) {
    ScratchDir dir;
    fs::path install = dir.path / "game", extract = install / "_update_temp";
    WriteFile(install / "ro.dat");
    WriteFile(extract / "x");
    ASSERT_TRUE(SetFileAttributesW((install / "ro.dat").c_str(), FILE_ATTRIBUTE_READONLY));
    DeleteOutdatedFiles(install, extract);
    EXPECT_FALSE(fs::exists(install / "ro.dat"));
}

TEST(CopyNewFilesWin32, FileInUseIsNotOverwrittenAndIsCounted) {
    ScratchDir dir;
    fs::path install = dir.path / "game";
    WriteFile(dir.path / "pkg" / "busy.dat", "new");
    WriteFile(install / "busy.dat", "old");
    HeldFile held(install / "busy.dat");
    ASSERT_NE(held.handle, INVALID_HANDLE_VALUE);
    LogCapture log;
    EXPECT_EQ(CopyNewFiles(dir.path / "pkg", install), 1u);
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"Failed to copy: " + (install / "busy.dat").string()});
}

TEST(CopyNewFilesWin32, RefusedMoveOntoTheRunningProgramIsLoggedButNotCounted) {
    const fs::path self = RunningExecutablePath();
    ASSERT_FALSE(self.empty());
    ScratchDir dir;
    WriteFile(dir.path / "pkg" / self.filename(), "not a program");
    LogCapture log;
    EXPECT_EQ(CopyNewFiles(dir.path / "pkg", self.parent_path()), 0u);
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"Failed to copy: " + self.string()});
    EXPECT_TRUE(IsRunningExecutable(self));
    EXPECT_FALSE(IsRunningExecutable(dir.path / "pkg" / self.filename()));
}

TEST(DeleteOutdatedFilesWin32, UnpairedSurrogateNamesAreHandled) {
    ScratchDir dir;
    fs::path install = dir.path / "game", extract = install / "_update_temp";
    const std::wstring odd = std::wstring(L"odd") + wchar_t(0xD800) + L".dat";
    WriteFile(install / odd);
    if (!fs::exists(install / odd)) GTEST_SKIP() << "this file system does not store unpaired surrogates";
    WriteFile(extract / "x");
    LogCapture log;
    DeleteOutdatedFiles(install, extract);
    EXPECT_FALSE(fs::exists(install / odd));
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"Deleting old file: odd?.dat"});
}
