#include <gtest/gtest.h>

#include "worker/version_file.h"

TEST(CompareVersions, Smoke) { EXPECT_EQ(CompareVersions("1.2.3", "1.10.0"), -1); }
