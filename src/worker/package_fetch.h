#pragma once
// How update.zip reaches the installation: only the entries whose installed
// file differs, fetched by ranges and unpacked, or else the whole package
// downloaded as before (a server without ranges or validators, a release that
// cannot be checked piece by piece, a partial download of this release, or
// anything odd on the way, each logged).

#include <filesystem>

#include "apply/delete_phase.h"
#include "delta/installed_entries.h"
#include "delta/installed_index.h"
#include "integrity/package_check.h"
#include "net/download.h"
#include "zip/package_stream.h"

// NoRoom: the game's drive lacks what the update would write; nothing was fetched but the directory.
enum class PackageFetch { Differential, Whole, Failed, NoRoom };

struct FetchedPackage {
    PackageFetch how = PackageFetch::Failed;
    PackageListing listing{};  // Differential, or unpacked by the directory: the whole package's files and directories
    bool updaterUpToDate = false;  // the same: the package's updater is the running one
    StreamedEntries streamed{};    // Whole: what was unpacked into the extraction directory as it arrived
    // The files the index of the installed files will record: the release's.
    IndexBuilder installed{};
    // Whole: the files the installation holds already, left in place, and how
    // many; what a comparison before it read, to be recorded should it fail.
    InstalledEntries inPlace{};
};

// Progress (worker/progress_span.h): "Comparing installed files..."
// kComparisonSpan, "Downloading changed files..." kChangedEntriesSpan; the
// whole package kPackageDownloadSpan, unpacked into the extraction directory
// as it arrives. A failed download stops the unpacking at once and removes
// what it wrote.
FetchedPackage FetchUpdatePackage(const std::filesystem::path& package, const std::filesystem::path& extraction,
    const PackageCheck& check, const DownloadEnvironment& environment = RealDownloadEnvironment());
