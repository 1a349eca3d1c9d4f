#include <gtest/gtest.h>
#include <windows.h>

#include "services/zip_extract.h"
#include "test_support.h"
#include "zip_test_support.h"

using testing_support::ReadBytes;
using testing_support::ScratchDir;
using testing_support::WriteBytes;
using zip_testing::Package;

// Windows refuses to recreate a hidden or system file, and to write a
// read-only one; an extracted file replaces them all the same.
TEST(ExtractZipWin32, ReplacesReadOnlyHiddenAndSystemFiles) {
    ScratchDir dir("zipattr");
    auto top = dir.path / "top.txt";
    WriteBytes(top, "old");
    ASSERT_TRUE(SetFileAttributesW(top.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    ASSERT_TRUE(ExtractZip(Package("py_nested.zip"), dir.path));
    EXPECT_EQ(ReadBytes(top), "top\n");
    EXPECT_EQ(GetFileAttributesW(top.c_str()) & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
              0u);
}
