#pragma once
// The central directory of update.zip read from the server: its tail first
// (the end records), then the rest of the directory when it begins earlier,
// parsed record by record as it arrives so that only the listing is kept.
// The entries are checked as extraction checks them, and more: no two files
// at one path, no two entries sharing bytes, and with an index digest from
// version.txt, the directory's bytes must hash to it.
//
// The listing is flat: one fixed-size record per entry and two blocks that
// hold every entry's names (the stored name, unless its relative path gives
// it back, the Unicode path field's name and the content digest, back to
// back) and relative paths. Its memory is
// bounded by the entry count and the blocks' size, whatever the directory holds.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "delta/remote_package.h"
#include "zip/zip_format.h"

struct ListedEntry {
    std::uint64_t compressedSize = 0;
    std::uint64_t uncompressedSize = 0;
    std::uint64_t localOffset = 0;
    std::uint64_t regionEnd = 0;  // where the next entry (or the directory) begins
    std::uint32_t crc = 0;
    std::uint32_t externalAttributes = 0;
    std::uint32_t namesAt = 0;     // in RemoteDirectory::names
    std::uint32_t relativeAt = 0;  // in RemoteDirectory::paths
    std::uint32_t relativeSize = 0;
    std::uint16_t madeBy = 0;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint16_t nameSize = 0;         // the stored name's bytes
    std::uint16_t unicodeNameSize = 0;  // the Unicode path field's name's bytes, after the stored name
    bool isDirectory : 1 = false;
    bool hasDigest : 1 = false;   // kContentSha256Size bytes after the names
    bool upToDate : 1 = false;    // the installed file was compared and holds the entry already
    bool nameIsPath : 1 = false;  // the stored name is not kept: the relative path gives it back
};

using NativePathView = std::basic_string_view<std::filesystem::path::value_type>;

struct RemoteDirectory {
    std::uint64_t offset = 0;          // first central entry: all entry data lies before it
    std::vector<ListedEntry> entries;  // in directory order
    std::string names;
    std::filesystem::path::string_type paths;  // relative paths in the platform's form, empty for "./"
    bool tailKept = false;  // the directory and end records, as read, are in the file that the read was given
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
// The 32 bytes of the entry's content digest, else empty.
std::string_view ContentDigest(const RemoteDirectory& directory, const ListedEntry& listed);
// The whole record, for unpacking the entry and for the log.
ZipEntry EntryOf(const RemoteDirectory& directory, const ListedEntry& listed);

// The entry's bytes in the package: its local header up to where the next entry begins.
std::uint64_t RegionSize(const ListedEntry& listed);

// What a file of `size` bytes takes on a disk: whole 4 KiB clusters, as the
// usual file systems allocate them.
std::uint64_t SizeOnDisk(std::uint64_t size);

// What unpacking every file of the listing takes on the disk.
std::uint64_t UnpackedSize(const RemoteDirectory& directory);

// `indexSha256`: the hex digest the directory must have, when version.txt names one.
// With `keepIn`, the bytes from the directory's start to the package's end
// are also written there, so that a whole download need not fetch them again.
RemoteRead ReadRemoteDirectory(RemotePackage& package, const std::optional<std::string>& indexSha256,
    RemoteDirectory& directory, const ListingLimits& limits = ListingLimits(),
    const std::filesystem::path& keepIn = {});

// Checks that need the whole listing; empty when it passes.
std::wstring RefusalOfListing(RemoteDirectory& directory);
