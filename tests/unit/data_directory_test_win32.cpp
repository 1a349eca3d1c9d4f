#include <gtest/gtest.h>
#include <shlobj.h>
#include <windows.h>

#include "userdata/data_directory.h"

TEST(ResolveDataDirectoryWin32, DocumentsFolderTextWithTheLiteralAppended) {
    wchar_t personal[MAX_PATH] = {};
    ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, personal)));
    EXPECT_EQ(ResolveDataDirectory().native(), std::wstring(personal) + L"\\Ardentfall Data");
}
