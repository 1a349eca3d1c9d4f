#pragma once
// The central directory of update.zip read from the server: its tail first
// (the end records), then the rest of the directory when it begins earlier.
// The entries are checked as extraction checks them, and more: no two files
// at one path, no two entries sharing bytes, and with an index digest from
// version.txt, the directory's bytes must hash to it.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "delta/remote_package.h"
#include "zip/zip_format.h"

// One entry, its path kept as one relative path (a package may list many
// thousands; the components are split again only for the entries fetched).
struct ListedEntry {
    ZipEntry entry;
    std::filesystem::path relative;  // empty for "./"
    bool isDirectory = false;
    std::uint64_t regionEnd = 0;  // where the next entry (or the directory) begins
};

// The entry's bytes in the package: its local header up to where the next entry begins.
std::uint64_t RegionSize(const ListedEntry& listed);

struct RemoteDirectory {
    std::uint64_t offset = 0;          // first central entry: all entry data lies before it
    std::vector<ListedEntry> entries;  // in directory order
};

// `indexSha256`: the hex digest the directory must have, when version.txt names one.
RemoteRead ReadRemoteDirectory(
    RemotePackage& package, const std::optional<std::string>& indexSha256, RemoteDirectory& directory);

// Checks that need the whole listing; empty when it passes.
std::wstring RefusalOfListing(std::vector<ListedEntry>& entries, std::uint64_t directoryOffset);
