#pragma once
// The central directory of update.zip read from the server: its tail first
// (the end records), then the rest of the directory when it begins earlier,
// parsed record by record as it arrives so that only the listing is kept.
// The entries are checked as extraction checks them, and more: no two files
// at one path, no two entries sharing bytes, and with an index digest from
// version.txt, the directory's bytes must hash to it.
//
// The listing is small: one fixed-size record per entry, with what the
// comparison and the ranges need, and one block of relative paths. The rest
// of each entry (its names, digest and ZIP fields) is read again, when asked
// for, from the directory's bytes as they were kept in a file while read.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "delta/remote_package.h"
#include "zip/zip_format.h"

struct ListedEntry {
    std::uint64_t localOffset = 0;
    std::uint64_t regionEnd = 0;  // where the next entry (or the directory) begins
    std::uint64_t uncompressedSize = 0;
    std::uint32_t crc = 0;
    std::uint32_t recordAt = 0;    // its central record, from the directory's start
    std::uint32_t relativeAt = 0;  // in RemoteDirectory::paths
    std::uint16_t relativeSize = 0;
    bool isDirectory : 1 = false;
    bool hasDigest : 1 = false;
    bool upToDate : 1 = false;  // the installed file was compared and holds the entry already
};

using NativePathView = std::basic_string_view<std::filesystem::path::value_type>;

struct RemoteDirectory {
    ZipDirectory found{};  // where the directory lies: all entry data lies before it
    std::uint64_t packageSize = 0;
    std::vector<ListedEntry> entries;          // in directory order
    std::filesystem::path::string_type paths;  // relative paths in the platform's form, empty for "./"
    std::filesystem::path keptIn;              // the directory's bytes and the end records, as read
    bool tailKept = false;                     // keptIn holds them whole
};

// What a listing may cost: more entries, or more bytes of records and blocks,
// and the directory is not read (the whole package is downloaded instead).
// With the directory's 32 MiB this keeps the listing well under 64 MB.
struct ListingLimits {
    std::uint64_t entries = 250000;
    std::uint64_t bytes = 32 * 1024 * 1024;
};

// The entry's relative path, as a view into the listing and as a path.
NativePathView RelativeNative(const RemoteDirectory& directory, const ListedEntry& listed);
std::filesystem::path RelativePath(const RemoteDirectory& directory, const ListedEntry& listed);
// The whole record, for unpacking the entry and for the log, read again from
// the kept bytes through `kept` (opened on keptIn). Empty (no name) when they
// cannot be read or no longer say what the listing says.
ZipEntry ReadListedEntry(const RemoteDirectory& directory, const ListedEntry& listed, std::ifstream& kept);
// The same, the kept bytes opened for this entry alone.
ZipEntry EntryOf(const RemoteDirectory& directory, const ListedEntry& listed);
// The 32 bytes of the entry's content digest, else empty.
std::string ContentDigest(const RemoteDirectory& directory, const ListedEntry& listed);

// The entry's bytes in the package: its local header up to where the next entry begins.
std::uint64_t RegionSize(const ListedEntry& listed);

// What a file of `size` bytes takes on a disk: whole 4 KiB clusters, as the
// usual file systems allocate them.
std::uint64_t SizeOnDisk(std::uint64_t size);

// What unpacking every file of the listing takes on the disk.
std::uint64_t UnpackedSize(const RemoteDirectory& directory);

// `indexSha256`: the hex digest the directory must have, when version.txt names one.
// The bytes from the directory's start to the package's end are written to
// `keepIn` as they arrive: the entries are read again from there, and a whole
// download need not fetch them again. Without them the directory is not used.
RemoteRead ReadRemoteDirectory(RemotePackage& package, const std::optional<std::string>& indexSha256,
    RemoteDirectory& directory, const std::filesystem::path& keepIn, const ListingLimits& limits = ListingLimits());

// Checks that need the whole listing; empty when it passes.
std::wstring RefusalOfListing(RemoteDirectory& directory);
