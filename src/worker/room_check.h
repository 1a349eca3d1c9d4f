#pragma once
// Room before writing: a package is fetched only when the volume it is
// unpacked on holds what it will write plus a margin; else the step is
// skipped with one line naming both figures, and the game starts as it is.

#include <cstdint>
#include <filesystem>
#include <string>

// Kept free beyond what a package takes on the disk (its files counted in
// whole clusters): folders, the log and the working files, and room for the
// game's own writes when it starts.
inline constexpr std::uint64_t kRoomMargin = 8ull * 1024 * 1024;

// True when the volume of `where` has `bytes` plus the margin free, or when
// its free space cannot be known. Else logs "<package> needs N MB free on
// <volume> and M MB are free; <skipped>" and gives false.
bool HasRoomFor(const std::wstring& package, std::uint64_t bytes, const std::filesystem::path& where,
    const std::wstring& volume, const std::wstring& skipped);

// Whole megabytes (MiB, as the progress shows them) with thousands separators: "1,234".
std::wstring MegabytesText(std::uint64_t bytes, bool roundUp);
