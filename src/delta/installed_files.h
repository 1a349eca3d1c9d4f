#pragma once
// The installation as the differential update compares it: one walk for the
// exact relative paths and sizes, then the CRC-32 of only those files whose
// path and size match a package entry.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <unordered_map>

// Regular files below installDir that are not links, by relative path in the
// platform's form (letter case as on disk), with their sizes. The extraction
// directory is not entered.
using InstalledSizes = std::unordered_map<std::filesystem::path::string_type, std::uint64_t>;
InstalledSizes ListInstalledFiles(const std::filesystem::path& installDir, const std::filesystem::path& extractDir);

// The CRC-32 of the file's bytes; false when it cannot be read whole.
// `progress` receives each piece's size as it is read.
bool FileCrc32(
    const std::filesystem::path& file, std::uint32_t& crc, const std::function<void(std::uint64_t bytes)>& progress);
