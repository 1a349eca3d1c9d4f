#pragma once
// The copy phase: the package's files are copied over the installation, then
// every empty directory below the install directory is removed.

#include <cstdint>
#include <filesystem>

// Regular files at any depth below dir; 0 when it is missing or unreadable.
std::uint32_t CountFiles(const std::filesystem::path& dir);

// Copies every file below extractDir to the same relative place below
// installDir, creating missing directories and overwriting existing files
// ("Copied: " / "Failed to copy: " + destination). A destination directory
// that cannot be created ends the phase after that file. Returns the number of
// package files that did not reach the installation, counting every file not
// reached when the phase ended early (at least 1), so 0 means a complete copy.
// A refused copy onto the running updater itself is logged but not counted.
std::uint32_t CopyNewFiles(const std::filesystem::path& extractDir, const std::filesystem::path& installDir);

// Removes every empty directory below installDir, deepest first, logging
// "Removing empty dir (post-copy): " + its full path. The install directory stays.
void RemoveEmptyDirectoriesAfterCopy(const std::filesystem::path& installDir);

// Copies one file over an existing one (CopyFileW with bFailIfExists FALSE on
// Windows); the source's attributes come along. False when refused.
bool CopyFileOverwriting(const std::filesystem::path& source, const std::filesystem::path& destination);
