// Files held open by another program, the running updater, and names Windows
// alone allows, in the delete and copy phases.

#include <thread>

#include "apply/copy_phase.h"
#include "apply/delete_phase.h"
#include "base/install_directory.h"
#include "base/owned_handle_win32.h"
#include "rules/own_executable.h"
#include "test_support.h"

TEST(CopyNewFilesWin32, FileInUseIsNotOverwrittenAndIsCounted) {
    ScratchDir dir;
    WriteTree(dir.path, {"pkg/busy.dat=new", "game/busy.dat=old"});
    LogCapture log;
    const auto copy = [&] { EXPECT_EQ(CopyNewFiles(dir.path / "pkg", dir.path / "game"), 1u); };
    ASSERT_TRUE(RunWhileHeld(dir.path, dir.path / "game", copy));
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"Failed to copy: " + LogText(dir.path / "game" / "busy.dat")});
}

// As an on-access scanner holds a fresh file for a moment: open, without
// sharing its deletion, so that it cannot be moved meanwhile.
TEST(CopyNewFilesWin32, AFileHeldForAMomentIsPlacedOnceReleased) {
    ScratchDir dir;
    WriteTree(dir.path, {"pkg/fresh.dat=new", "game/fresh.dat=old"});
    OwnedHandle scanner(CreateFileW((dir.path / "pkg" / "fresh.dat").c_str(), GENERIC_READ,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(scanner);
    std::thread release([&] {
        Sleep(300);
        scanner.Reset();
    });
    LogCapture log;
    EXPECT_EQ(CopyNewFiles(dir.path / "pkg", dir.path / "game"), 0u);
    release.join();
    EXPECT_EQ(ReadBytes(dir.path / "game" / "fresh.dat"), "new");
}

TEST(CopyNewFilesWin32, RefusedMoveOntoTheRunningProgramIsLoggedButNotCounted) {
    const fs::path self = RunningExecutablePath();
    ASSERT_FALSE(self.empty());
    ScratchDir dir;
    WriteBytes(dir.path / "pkg" / self.filename(), "not a program");
    LogCapture log;
    EXPECT_EQ(CopyNewFiles(dir.path / "pkg", self.parent_path()), 0u);
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"Failed to copy: " + LogText(self)});
    EXPECT_FALSE(IsRunningExecutable(dir.path / "pkg" / self.filename())) << "the same name elsewhere";
}

TEST(DeleteOutdatedFilesWin32, UnpairedSurrogateNamesAreHandled) {
    ScratchDir dir;
    const fs::path install = dir.path / "game", extract = install / "_update_temp";
    const std::wstring odd = std::wstring(L"odd") + wchar_t(0xD800) + L".dat";
    WriteTree(install, {"_update_temp/x"});
    WriteBytes(install / odd, "");
    if (!fs::exists(install / odd)) GTEST_SKIP() << "this file system does not store unpaired surrogates";
    LogCapture log;
    DeleteOutdatedFiles(install, extract, ListUnpackedPackage(extract));
    EXPECT_FALSE(fs::exists(install / odd));
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"Deleting old file: odd?.dat"});
}

// A folder where the package has a file is refused at once, and keeps the
// read-only and system attributes that a folder customised by desktop.ini has.
TEST(CopyNewFilesWin32, AFolderInTheWayKeepsItsAttributes) {
    ScratchDir dir;
    WriteTree(dir.path, {"pkg/Custom=file", "game/Custom/desktop.ini=[.ShellClassInfo]"});
    const fs::path folder = dir.path / "game" / "Custom";
    ASSERT_TRUE(SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM));
    const DWORD before = GetFileAttributesW(folder.c_str());
    LogCapture log;
    EXPECT_EQ(CopyNewFiles(dir.path / "pkg", dir.path / "game"), 1u);
    EXPECT_EQ(GetFileAttributesW(folder.c_str()), before);
    SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
}
