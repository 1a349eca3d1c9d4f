#pragma once
#include <filesystem>

// Unpacks the ZIP package into the existing destination directory, replacing
// files of the same name without asking; complete when it returns. False when
// the destination is missing, the package cannot be read, any entry name
// would leave the destination (then nothing is written), or the package is
// damaged (what was written stays inside the destination).
bool ExtractZip(const std::filesystem::path& package, const std::filesystem::path& destination);
