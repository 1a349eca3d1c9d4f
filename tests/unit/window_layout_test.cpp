#include "loader/window_layout.h"
#include "test_support.h"

// The window's layout, designed at 96 DPI, at other displays' DPI: rounded to
// the nearest pixel.
TEST(WindowLayout, ScaledToTheDisplay) {
    const struct {
        unsigned dpi;
        int clientWidth, clientHeight;
        LayoutBox bar, close;
    } rows[] = {
        {96, 484, 108, {12, 40, 460, 20}, {380, 72, 92, 26}},
        {0, 484, 108, {12, 40, 460, 20}, {380, 72, 92, 26}},  // not told: as designed
        {120, 605, 135, {15, 50, 575, 25}, {475, 90, 115, 33}},
        {144, 726, 162, {18, 60, 690, 30}, {570, 108, 138, 39}},
        {192, 968, 216, {24, 80, 920, 40}, {760, 144, 184, 52}},
    };
    for (const auto& row : rows) {
        const WindowLayout layout = LayoutForDpi(row.dpi);
        EXPECT_EQ(layout.clientWidth, row.clientWidth) << row.dpi;
        EXPECT_EQ(layout.clientHeight, row.clientHeight) << row.dpi;
        for (const auto& [got, want] : {std::pair{layout.bar, row.bar}, std::pair{layout.close, row.close}})
            EXPECT_TRUE(got.x == want.x && got.y == want.y && got.width == want.width && got.height == want.height)
                << row.dpi << ": " << got.x << "," << got.y << " " << got.width << "x" << got.height;
    }
    EXPECT_EQ(LayoutForDpi(144).status.width, 690);
}
