#pragma once
// The destination side of extraction: directories and files below the
// destination, never reached through a link.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// Creates destination/components[0..count) level by level as needed. Fails
// when a level is a link (it could lead outside the destination) or exists
// as something other than a directory.
bool MakeEntryDirectory(const std::filesystem::path& destination, const std::vector<std::wstring>& components,
    std::size_t count, std::filesystem::path& directory);

// Lets an extracted file replace whatever stands at `file`: a link is removed
// rather than written through, a read-only file is made writable.
bool PrepareFileTarget(const std::filesystem::path& file);

// Gives the file the executable bits of a Unix mode where the platform has
// them; nothing on Windows.
void ApplyUnixMode(const std::filesystem::path& file, std::uint32_t mode);
