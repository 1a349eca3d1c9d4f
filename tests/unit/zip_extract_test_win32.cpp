#include <windows.h>

#include "delta/index_record.h"
#include "delta/installed_entries.h"
#include "test_support.h"
#include "zip/zip_extract.h"

// Windows refuses to recreate a hidden or system file, and to write a
// read-only one; an extracted file replaces them all the same.
TEST(ExtractZipWin32, ReplacesReadOnlyHiddenAndSystemFiles) {
    ScratchDir dir("zipattr");
    const fs::path top = dir.path / "top.txt";
    constexpr DWORD kBits = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    WriteBytes(top, "an older, longer content");
    ASSERT_TRUE(SetFileAttributesW(top.c_str(), kBits));
    ASSERT_TRUE(ExtractZip(Package("py_nested.zip"), dir.path));
    EXPECT_EQ(ReadBytes(top), "top\n");
    EXPECT_EQ(GetFileAttributesW(top.c_str()) & kBits, 0u);
}

// A file that the index vouches for under another letter case is unpacked:
// the delete phase, which compares names exactly, would take it for outdated.
TEST(ExtractZipWin32, LeavesInPlaceOnlyUnderTheEntrysOwnName) {
    ScratchDir dir("zipcase");
    const fs::path install = dir.path / "game", extraction = dir.path / "out";
    WriteTree(install, {"tree/README.txt=readme\n", "tree/tool.sh=#!/bin/sh\necho tool\n"});
    IndexBuilder builder;
    ASSERT_TRUE(SavePackageFiles(Package("iz_tree.zip"), install.parent_path() / "files.saved"));
    AddSavedFiles(builder, install.parent_path() / "files.saved");
    ASSERT_TRUE(WriteInstalledIndex(install, builder));
    fs::create_directories(extraction);
    InstalledEntries installed;
    installed.installDir = install;
    ASSERT_TRUE(ExtractZip(Package("iz_tree.zip"), extraction, InstalledCheck(installed)));
    EXPECT_EQ(installed.leftInPlace, 1u);
    EXPECT_TRUE(fs::exists(extraction / "tree" / "readme.txt"));
    EXPECT_FALSE(fs::exists(extraction / "tree" / "tool.sh"));
}
