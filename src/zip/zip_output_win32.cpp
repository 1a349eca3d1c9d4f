#include "zip/zip_output.h"

// Windows files have no executable bit.
void ApplyUnixMode(const std::filesystem::path&, std::uint32_t) {}
