#pragma once
// What an update puts in the index of the installed files
// (delta/installed_index.h): every file of the release with the CRC-32 and
// digest the package gives it, gathered before the package is applied (or its
// bytes dropped) and identified once it is in place.

#include <filesystem>

#include "delta/differential_update.h"
#include "delta/installed_index.h"

// What a ready differential update leaves for the apply and the index, each
// part taken from the plan as it lets go of the last: the listing of the
// package's files and directories, and the index's records of the up-to-date
// files as they were when compared (without a digest: a CRC-32 that matches
// proves no more) and of the fetched ones, with the package's digest.
void TakePlannedFiles(IndexBuilder& builder, PackageListing& listing, DifferentialPlan& plan);

// The files of the whole package, from its central directory, saved in the
// file `saved` as they are read (name, CRC-32, digest), so that they need not
// be held while the package is applied; false when the directory cannot be read.
bool SavePackageFiles(const std::filesystem::path& package, const std::filesystem::path& saved);
// Adds the files that SavePackageFiles saved; none when that file is not whole.
void AddSavedFiles(IndexBuilder& builder, const std::filesystem::path& saved);
