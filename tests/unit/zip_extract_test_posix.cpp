#include <gtest/gtest.h>

#include "services/zip_extract.h"
#include "test_support.h"
#include "zip_test_support.h"

using testing_support::ReadBytes;
using testing_support::ScratchDir;
using testing_support::WriteBytes;
using zip_testing::Package;
using zip_testing::TreeOf;

namespace fs = std::filesystem;

namespace {

bool IsExecutable(const fs::path& file) {
    return (fs::status(file).permissions() & fs::perms::owner_exec) != fs::perms::none;
}

}  // namespace

TEST(ExtractZipPosix, RestoresExecutableBitFromUnixAttributes) {
    ScratchDir dir("zipmode");
    ASSERT_TRUE(ExtractZip(Package("unix_modes.zip"), dir.path));
    EXPECT_TRUE(IsExecutable(dir.path / "bin" / "tool.sh"));
    EXPECT_FALSE(IsExecutable(dir.path / "bin" / "data.txt"));
    EXPECT_FALSE(IsExecutable(dir.path / "bin" / "dos.txt")) << "no Unix attributes, no executable bit";
    ASSERT_TRUE(ExtractZip(Package("iz_tree.zip"), dir.path));
    EXPECT_TRUE(IsExecutable(dir.path / "tree" / "tool.sh")) << "as Info-ZIP stored it";
    EXPECT_FALSE(IsExecutable(dir.path / "tree" / "readme.txt"));
}

// A link inside the destination could lead a write anywhere; extraction never
// follows one.
TEST(ExtractZipPosix, NeverWritesThroughLinks) {
    ScratchDir dir("ziplink");
    fs::create_directories(dir.path / "dest");
    fs::create_directories(dir.path / "outside");
    WriteBytes(dir.path / "outside" / "target.txt", "precious");
    fs::create_symlink(dir.path / "outside" / "target.txt", dir.path / "dest" / "top.txt");
    fs::create_directory_symlink(dir.path / "outside", dir.path / "dest" / "a");

    EXPECT_FALSE(ExtractZip(Package("py_nested.zip"), dir.path / "dest")) << "folder a/ is a link";
    EXPECT_EQ(TreeOf(dir.path / "outside"), std::vector<std::wstring>{L"target.txt"});
    EXPECT_EQ(ReadBytes(dir.path / "outside" / "target.txt"), "precious");
    EXPECT_FALSE(fs::is_symlink(dir.path / "dest" / "top.txt")) << "the file link was replaced by the file";
    EXPECT_EQ(ReadBytes(dir.path / "dest" / "top.txt"), "top\n");
}
