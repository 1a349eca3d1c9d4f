#pragma once
// The copy phase: the package's files are moved over the installation, each in
// one step, then every empty directory below the install directory is removed.

#include <cstdint>
#include <filesystem>
#include <optional>

// Regular files at any depth below dir; 0 when it is missing or unreadable.
std::uint32_t CountFiles(const std::filesystem::path& dir);

// Moves every file below extractDir to the same relative place below
// installDir, each in one step (PlaceFile), creating missing directories and
// replacing existing files and links, never writing through them ("Copied: " /
// "Failed to copy: " + destination); a file that failed keeps its old bytes. A
// destination directory that cannot be created ends the phase after that file.
// Returns the number of package files that did not reach the installation,
// counting every file not reached when the phase ended early (at least 1), so
// 0 means a complete copy. A refused move onto the running updater itself
// (Windows) is logged but not counted. `fileCount`: CountFiles(extractDir), when
// the caller has just counted them (a walk of the package less); else counted here.
std::uint32_t CopyNewFiles(const std::filesystem::path& extractDir, const std::filesystem::path& installDir,
    std::optional<std::uint32_t> fileCount = std::nullopt);

// Removes every empty directory below installDir, deepest first, logging
// "Removing empty dir (post-copy): " + its full path. The install directory stays.
void RemoveEmptyDirectoriesAfterCopy(const std::filesystem::path& installDir);
