#pragma once
// The maps package: /updates/maps.zip, fetched into "__maps.zip" inside the
// data directory and unpacked straight into that directory.

#include <filesystem>

#include "integrity/package_check.h"

std::filesystem::path MapsPackageFile(const std::filesystem::path& dataDir);

// Creates the data directory if missing and downloads the package into it;
// false (and the line "Download maps.zip failed.") when nothing arrived or
// the package did not pass `check`.
bool DownloadMapsPackage(const std::filesystem::path& dataDir, const PackageCheck& check);

// Reads the downloaded package whole before anything in the data directory is
// touched; a damaged one, or one that holds a file at the maps stage's own
// names (rules/working_names.h), is logged and removed, and the result is false.
bool VerifyMapsPackage(const std::filesystem::path& dataDir);

// Unpacks the downloaded package into the data directory and removes it.
bool ExtractMapsPackage(const std::filesystem::path& dataDir);
