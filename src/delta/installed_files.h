#pragma once
// The installation as the differential update compares it: one walk for the
// exact relative paths and sizes, then the CRC-32 of only those files whose
// path and size match a package entry.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

// Regular files below installDir that are not links, by relative path in the
// platform's form (letter case as on disk), with their sizes: one block of
// paths and a fixed-size record per file, sorted by path. The extraction
// directory is not entered.
struct InstalledFile {
    std::uint64_t size = 0;
    std::uint64_t pathAt = 0;
    std::uint32_t pathSize = 0;
};
struct InstalledSizes {
    std::filesystem::path::string_type paths;
    std::vector<InstalledFile> files;
};
InstalledSizes ListInstalledFiles(const std::filesystem::path& installDir, const std::filesystem::path& extractDir);

// The size of the installed file at exactly this relative path; none when there is none.
std::optional<std::uint64_t> InstalledSize(
    const InstalledSizes& installed, std::basic_string_view<std::filesystem::path::value_type> relative);

// The CRC-32 of the file's bytes; false when it cannot be read whole.
// `progress` receives each piece's size as it is read.
bool FileCrc32(
    const std::filesystem::path& file, std::uint32_t& crc, const std::function<void(std::uint64_t bytes)>& progress);
