#include "loader/window_layout.h"

namespace {

// Rounded to the nearest pixel, as the system scales.
int Scaled(int value, unsigned dpi) {
    return static_cast<int>((static_cast<long long>(value) * dpi + kDesignDpi / 2) / kDesignDpi);
}

LayoutBox Scaled(const LayoutBox& box, unsigned dpi) {
    return {Scaled(box.x, dpi), Scaled(box.y, dpi), Scaled(box.width, dpi), Scaled(box.height, dpi)};
}

}  // namespace

WindowLayout LayoutForDpi(unsigned dpi) {
    if (dpi == 0) dpi = kDesignDpi;
    const WindowLayout design{484, 108, {12, 12, 460, 20}, {12, 40, 460, 20}, {380, 72, 92, 26}};
    return {Scaled(design.clientWidth, dpi), Scaled(design.clientHeight, dpi), Scaled(design.status, dpi),
        Scaled(design.bar, dpi), Scaled(design.close, dpi)};
}
