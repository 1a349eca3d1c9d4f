#pragma once
// The delete phase: files the new package no longer holds are deleted from the
// installation, then the directories left empty are removed.

#include <cstddef>
#include <filesystem>

#include "apply/relative_path_list.h"
#include "rules/safelist.h"

// What the new package holds: its files and directories, as the package's
// directory names them (up-to-date files left in place are never unpacked).
struct PackageListing {
    RelativePathList files;
    RelativePathList directories;
    bool complete = true;  // false when part of the package could not be listed
};

// Adds one file (or directory) of the package, with every directory above it.
void AddToPackageListing(PackageListing& listing, const std::filesystem::path& relative, bool isDirectory);

// How many files the package holds.
std::size_t PackageFileCount(const PackageListing& listing);

// Deletes every file below installDir that the package does not hold and no
// entry of the safelist or protected name keeps, nor the running updater under
// whatever name, logging "Deleting old file: " + relative path first. The
// first failed deletion ends the phase. The extraction directory is never
// entered. Nothing is deleted when the listing is not complete.
void DeleteOutdatedFiles(const std::filesystem::path& installDir, const std::filesystem::path& extractDir,
    const PackageListing& package, const Safelist& safelist = Safelist());

// Removes the empty directories below installDir, deepest first, that the
// package does not have and no pattern keeps ("Removing empty dir: " +
// relative path). The install and extraction directories always stay.
void RemoveEmptyDirectories(const std::filesystem::path& installDir, const std::filesystem::path& extractDir,
    const PackageListing& package, const Safelist& safelist = Safelist());
