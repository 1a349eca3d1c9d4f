// Files held open by another program, and names Windows alone allows, in the
// delete and copy phases.

#include <windows.h>

#include <algorithm>

#include "apply/copy_phase.h"
#include "apply/delete_phase.h"
#include "apply/own_executable.h"
#include "services/install_directory.h"
#include "test_support.h"

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
    const fs::path install = dir.path / "game", extract = install / "_update_temp";
    WriteTree(install, {"a.dat", "b.dat", "c/c.dat", "d/d.dat", "locked/1.dat", "locked/2.dat", "_update_temp/x"});
    HeldFile first(install / "locked" / "1.dat"), second(install / "locked" / "2.dat");
    ASSERT_NE(first.handle, INVALID_HANDLE_VALUE);
    ASSERT_NE(second.handle, INVALID_HANDLE_VALUE);
    LogCapture log;
    DeleteOutdatedFiles(install, extract);
    const auto lines = log.Messages();
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines.back().starts_with("Deleting old file: locked\\")) << lines.back();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](auto& l) { return l.find("locked") != l.npos; }), 1);
    for (const char* name : {"a.dat", "b.dat", "c\\c.dat", "d\\d.dat"}) {
        bool logged = std::find(lines.begin(), lines.end(), std::string("Deleting old file: ") + name) != lines.end();
        EXPECT_NE(logged, fs::exists(install / name)) << name;
    }
}

TEST(CopyNewFilesWin32, FileInUseIsNotOverwrittenAndIsCounted) {
    ScratchDir dir;
    WriteTree(dir.path, {"pkg/busy.dat=new", "game/busy.dat=old"});
    HeldFile held(dir.path / "game" / "busy.dat");
    ASSERT_NE(held.handle, INVALID_HANDLE_VALUE);
    LogCapture log;
    EXPECT_EQ(CopyNewFiles(dir.path / "pkg", dir.path / "game"), 1u);
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"Failed to copy: " + LogText(dir.path / "game" / "busy.dat")});
}

TEST(CopyNewFilesWin32, RefusedMoveOntoTheRunningProgramIsLoggedButNotCounted) {
    const fs::path self = RunningExecutablePath();
    ASSERT_FALSE(self.empty());
    ScratchDir dir;
    WriteBytes(dir.path / "pkg" / self.filename(), "not a program");
    LogCapture log;
    EXPECT_EQ(CopyNewFiles(dir.path / "pkg", self.parent_path()), 0u);
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"Failed to copy: " + LogText(self)});
    EXPECT_TRUE(IsRunningExecutable(self));
    EXPECT_FALSE(IsRunningExecutable(dir.path / "pkg" / self.filename()));
}

TEST(DeleteOutdatedFilesWin32, UnpairedSurrogateNamesAreHandled) {
    ScratchDir dir;
    const fs::path install = dir.path / "game", extract = install / "_update_temp";
    const std::wstring odd = std::wstring(L"odd") + wchar_t(0xD800) + L".dat";
    WriteTree(install, {"_update_temp/x"});
    WriteBytes(install / odd, "");
    if (!fs::exists(install / odd)) GTEST_SKIP() << "this file system does not store unpaired surrogates";
    LogCapture log;
    DeleteOutdatedFiles(install, extract);
    EXPECT_FALSE(fs::exists(install / odd));
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"Deleting old file: odd?.dat"});
}
