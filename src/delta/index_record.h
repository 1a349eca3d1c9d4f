#pragma once
// What an update puts in the index of the installed files
// (delta/installed_index.h): every file of the release with the CRC-32 and
// digest the package gives it, gathered before the package is applied (or its
// bytes dropped) and identified once it is in place.

#include <filesystem>

#include "delta/differential_update.h"
#include "delta/installed_index.h"

// The files of a differential update: the up-to-date ones as they were when
// compared (taken from the plan, without a digest: a CRC-32 that matches
// proves no more), and the fetched ones, with the package's digest.
void TakePlannedFiles(IndexBuilder& builder, DifferentialPlan& plan);

// The files of the whole package, from its central directory, saved in the
// file `saved` as they are read (name, CRC-32, digest), so that they need not
// be held while the package is applied; false when the directory cannot be read.
bool SavePackageFiles(const std::filesystem::path& package, const std::filesystem::path& saved);
// Adds the files that SavePackageFiles saved; none when that file is not whole.
void AddSavedFiles(IndexBuilder& builder, const std::filesystem::path& saved);
