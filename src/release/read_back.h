#pragma once
// The check of a written package with the updater's own reader, as players'
// updaters will read it.

#include <filesystem>
#include <string>
#include <vector>

#include "release/package_tree.h"

// Reads the whole package with the updater's reader (every name, size and
// CRC-32, as extraction checks them) and compares its entries with the files
// it must hold: the same names and sizes, nothing else. False with a message.
bool ReadBackPackage(const std::filesystem::path& package, const std::vector<PackageFile>& files, std::string& error);
