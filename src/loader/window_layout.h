#pragma once
// The progress window's layout at a display's DPI: designed at 96 DPI (100 %)
// and scaled, so that at 125-200 % the system draws it sharp at its own size
// instead of stretching a small bitmap.

struct LayoutBox {
    int x = 0, y = 0, width = 0, height = 0;
};

struct WindowLayout {
    int clientWidth = 0, clientHeight = 0;
    LayoutBox status, bar, close;
};

inline constexpr unsigned kDesignDpi = 96;

WindowLayout LayoutForDpi(unsigned dpi);
