#pragma once

// Progress values are shown clamped to 0..100, by the window and the terminal.
int ClampPercent(int percent);
