// A chunked body whose terminating chunk never comes. libcurl reports it; WinHTTP
// (at least under Wine) shows it as a clean end, so this holds for POSIX only.

#include <gtest/gtest.h>

#include "services/download.h"
#include "test_server.h"

using namespace net_testing;

using ChunkedDownloadTest = ServerTest;

TEST_F(ChunkedDownloadTest, CutBodyIsRefused) {
    const std::filesystem::path destination = dir.path / "maps.zip";
    testing_support::WriteBytes(destination, "old");
    EXPECT_FALSE(DownloadFile(Url("/cut-chunked"), destination));
    EXPECT_EQ(testing_support::ReadBytes(destination), "old");
    EXPECT_FALSE(std::filesystem::exists(dir.path / "maps.zip.part"));
}
