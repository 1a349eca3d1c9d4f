#include "loader/clamp_percent.h"
#include "test_support.h"

TEST(ClampPercent, ShowsZeroToAHundred) {
    const std::pair<int, int> rows[] = {{-1, 0}, {0, 0}, {57, 57}, {100, 100}, {101, 100}, {1000, 100}};
    for (const auto& [posted, shown] : rows) EXPECT_EQ(ClampPercent(posted), shown) << posted;
}
