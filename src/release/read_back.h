#pragma once
// The check of a written package with the updater's own reader, as players'
// updaters will read it.

#include <filesystem>
#include <string>
#include <vector>

#include "release/package_tree.h"

// Unpacks the package with ExtractZip into `scratch` (created, then removed)
// and compares what arrived with the files it must hold: the same names and
// sizes, nothing else. ExtractZip itself checks every entry's CRC-32 against
// the data. False with a message.
bool ReadBackPackage(const std::filesystem::path& package, const std::vector<PackageFile>& files,
                     const std::filesystem::path& scratch, std::string& error);
