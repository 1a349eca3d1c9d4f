#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>

#include "zip/zip_names.h"

// Unpacks the ZIP package into the existing destination directory, replacing
// files of the same name without asking; complete, and flushed to the disk,
// when it returns. False when
// the destination is missing, the package cannot be read, any entry name
// would leave the destination (then nothing is written), or the package is
// damaged (what was written stays inside the destination).
bool ExtractZip(const std::filesystem::path& package, const std::filesystem::path& destination);

// Reads every entry as ExtractZip would (names, ranges, sizes, CRC-32) but
// writes nothing (and logs nothing); `visit`, when given, receives each file
// entry's path and size. False for a package that ExtractZip would refuse or
// fail on.
bool CheckZip(const std::filesystem::path& package,
              const std::function<void(const EntryPath& path, std::uint64_t size)>& visit = {});
