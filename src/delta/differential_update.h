#pragma once
// The differential update: update.zip's central directory read from the
// server, compared with the installation, and only the entries whose
// installed file differs fetched by ranges and unpacked into the extraction
// directory, each checked (local header, size, CRC-32, and the content digest
// that a checked release must carry). Whatever does not fit makes the caller
// download the whole package instead.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "apply/delete_phase.h"
#include "base/file_identity.h"
#include "delta/installed_index.h"
#include "delta/remote_directory.h"
#include "integrity/package_check.h"
#include "zip/entry_stream.h"

struct FetchSpan {
    std::uint64_t from = 0;
    std::uint64_t to = 0;
    std::vector<const ListedEntry*> entries;  // the changed entries in it, by offset
};

struct DifferentialPlan {
    RemotePackage package;
    RemoteDirectory directory;
    // Where the directory's bytes are kept for a whole download (empty: not kept).
    std::filesystem::path tailFile{};
    // The package's size and validator when the package download's first
    // request learned them (total 0: not learned); the first byte is not asked again.
    ProbedPackage probed{};
    std::vector<FetchSpan> spans;
    std::uint64_t files = 0;
    std::uint64_t upToDate = 0;
    std::uint64_t changed = 0;
    std::uint64_t plannedBytes = 0;
    std::uint64_t fetchedBytes = 0;
    bool updaterUpToDate = false;   // the package's updater equals the running one
    bool directoryChecked = false;  // the directory was read whole and matched update-index-sha256
    // The compared files whose identity is known, for the index: each with its
    // own CRC-32 and the identity it had when it was read.
    IndexBuilder compared;
    std::vector<std::uint32_t> comparedOther;  // the records in it whose CRC-32 differs from the entry's
    bool comparedAll = false;                  // every installed file of the package's sizes was compared
};

enum class DeltaEnd { Ready, FallBack, GaveUp };

struct DeltaLimits {
    // More planned bytes than this share of the package: the whole package is
    // fetched instead, in one request and one stream.
    double largestShare = 0.5;
    // Changed entries closer than this are fetched in one range.
    std::uint64_t mergeGap = 16 * 1024;
    // A package no larger than this is fetched whole: reading its directory
    // would fetch all of it anyway.
    std::uint64_t smallestPackage = kEndSearchSize;
    ListingLimits listing{};
};

// Reads the directory and compares, trusting the installation's index for the
// files it records unchanged; progress goes to ReportWork in bytes read from
// the installation. `why` says why not, for FallBack and GaveUp.
// `urls`: the package on each server, in order of preference.
DeltaEnd PlanDifferentialUpdate(const std::vector<std::wstring>& urls, const std::filesystem::path& installDir,
    const std::filesystem::path& extractDir, const PackageCheck& check, const DownloadEnvironment& environment,
    DifferentialPlan& plan, std::wstring& why, const DeltaLimits& limits = DeltaLimits());

// Fetches the planned spans into the extraction directory; progress goes to
// ReportWork in bytes fetched.
DeltaEnd FetchChangedEntries(DifferentialPlan& plan, const std::filesystem::path& extractDir, std::wstring& why);

// What fetching the planned spans takes on the disk: the changed files' sizes on it.
std::uint64_t BytesToWrite(const DifferentialPlan& plan);

// Every file and directory of the package, for the delete phase. The files'
// relative paths are taken from the plan, not copied: the plan's listing is
// not used after.
PackageListing TakeListing(DifferentialPlan& plan);

// The check of an entry's content against the SHA-256 its directory entry
// lists; no check when it lists none.
ContentCheck ContentDigestCheck(const ZipEntry& entry);

// Every entry of the package's directory, by offset, as the entry stream takes
// them, but the files found up to date: those stay in place.
TargetSource PackageTargets(const DifferentialPlan& plan);

// The listed entry as the entry stream takes it, read again through `kept` (remote_directory.h).
StreamTarget TargetOf(const RemoteDirectory& directory, const ListedEntry& listed, std::ifstream& kept);
