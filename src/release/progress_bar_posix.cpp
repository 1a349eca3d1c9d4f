// The bar is redrawn in place with a carriage return, only when its
// percentage changes.

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "release/progress_bar.h"

ProgressBar StartProgressBar(const std::string& label, std::uint64_t totalBytes) {
    ProgressBar bar;
    bar.shown = totalBytes >= kProgressBarMinBytes && isatty(STDERR_FILENO) == 1;
    bar.label = label;
    ShowProgress(bar, 0.0);
    return bar;
}

void ShowProgress(ProgressBar& bar, double fraction) {
    int percent = static_cast<int>(std::clamp(fraction, 0.0, 1.0) * 100.0);
    if (!bar.shown || percent == bar.drawn) return;
    bar.drawn = percent;
    constexpr int kWidth = 40;
    std::string cells(static_cast<std::size_t>(kWidth * percent / 100), '#');
    cells.resize(kWidth, '.');
    std::fprintf(stderr, "\r%-12s [%s] %3d%%", bar.label.c_str(), cells.c_str(), percent);
    std::fflush(stderr);
}

void EndProgressBar(ProgressBar& bar) {
    ShowProgress(bar, 1.0);
    if (bar.shown) std::fputc('\n', stderr);
}
