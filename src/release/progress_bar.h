#pragma once
// A one-line progress bar on the terminal (standard error) for long steps of
// big releases; nothing when standard error is not a terminal.

#include <cstdint>
#include <string>

struct ProgressBar {
    bool shown = false;
    std::string label;
    int drawn = -1;  // the last percentage drawn
};

// Releases smaller than this finish too fast for a bar to help.
inline constexpr std::uint64_t kProgressBarMinBytes = 64ull << 20;

ProgressBar StartProgressBar(const std::string& label, std::uint64_t totalBytes);
void ShowProgress(ProgressBar& bar, double fraction);
// Draws 100 % and ends the line.
void EndProgressBar(ProgressBar& bar);
