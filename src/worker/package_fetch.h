#pragma once
// How update.zip reaches the installation: only the entries whose installed
// file differs, fetched by ranges and unpacked, or else the whole package
// downloaded as before (a server without ranges or validators, a release that
// cannot be checked piece by piece, a partial download of this release, or
// anything odd on the way, each logged).

#include <filesystem>

#include "apply/delete_phase.h"
#include "integrity/package_check.h"
#include "zip/package_stream.h"

// NoRoom: the game's drive lacks what the update would write; nothing was fetched but the directory.
enum class PackageFetch { Differential, Whole, Failed, NoRoom };

struct FetchedPackage {
    PackageFetch how = PackageFetch::Failed;
    PackageListing listing{};      // Differential: the whole package's files and directories
    bool updaterUpToDate = false;  // Differential: the package's updater is the running one
    StreamedEntries streamed{};    // Whole: what was unpacked into the extraction directory as it arrived
};

// Progress: "Comparing installed files..." 15-25, "Downloading changed
// files..." 25-35; the whole package 15-35, unpacked into the extraction
// directory as it arrives.
FetchedPackage FetchUpdatePackage(
    const std::filesystem::path& package, const std::filesystem::path& extraction, const PackageCheck& check);
