#include "base/long_path.h"

// POSIX file calls take paths of any length.
std::filesystem::path LongPath(const std::filesystem::path& path) { return path; }
