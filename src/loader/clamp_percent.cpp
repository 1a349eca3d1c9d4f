#include "loader/clamp_percent.h"

int ClampPercent(int percent) { return percent < 0 ? 0 : (percent > 100 ? 100 : percent); }
