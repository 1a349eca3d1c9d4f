#pragma once
#include <filesystem>

// Unpacks the ZIP package into the existing destination directory, replacing
// files of the same name without asking; complete when it returns. False when
// the destination is missing, the package cannot be read, any entry name
// would leave the destination (then nothing is written), or the package is
// damaged (what was written stays inside the destination).
bool ExtractZip(const std::filesystem::path& package, const std::filesystem::path& destination);

// Reads the whole package as ExtractZip would (every entry's name, sizes and
// CRC-32) without writing anything; true when extraction would find no fault
// in it. Writes nothing to the log.
bool VerifyZip(const std::filesystem::path& package);
