#pragma once
// What an update puts in the index of the installed files
// (delta/installed_index.h): every file of the release with the CRC-32 and
// digest the package gives it, gathered before the package is applied (or its
// bytes dropped) and identified once it is in place.

#include <filesystem>

#include "delta/differential_update.h"
#include "delta/installed_index.h"

// The files of a differential update: the fetched ones, with the package's
// digest, and the up-to-date ones as they were when compared (without a
// digest: a CRC-32 that matches proves no more).
void AddPlannedFiles(IndexBuilder& builder, const DifferentialPlan& plan);

// Every file the comparison read or trusted, with its own CRC-32, when it
// compared them all; for an update that goes on without the plan (the whole
// package), so that a start after its failure need not read them again.
void AddComparedFiles(IndexBuilder& builder, const DifferentialPlan& plan);

// The files of the whole package, from its central directory; none when that
// cannot be read.
void AddPackageFiles(IndexBuilder& builder, const std::filesystem::path& package);
