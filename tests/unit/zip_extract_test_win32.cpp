#include <windows.h>

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
