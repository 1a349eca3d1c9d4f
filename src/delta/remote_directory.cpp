#include "delta/remote_directory.h"

#include <algorithm>
#include <fstream>
#include <numeric>

#include "base/file_system.h"
#include "base/give_back.h"
#include "base/long_path.h"
#include "base/text.h"
#include "integrity/sha256.h"
#include "net/download_limits.h"
#include "zip/zip_directory.h"
#include "zip/zip_names.h"

namespace {

RemoteRead FetchInto(RemotePackage& package, std::uint64_t from, std::uint64_t to, std::string& bytes) {
    bytes.clear();
    bytes.reserve(static_cast<std::size_t>(to - from));
    return ReadRemoteRange(package, from, to, [&bytes](const char* data, std::size_t size) {
        bytes.append(data, size);
        return true;
    });
}

// The directory as its bytes arrive: hashed, and each central record listed
// once it is whole. The window holds the bytes from the record not yet read
// on: a record and the piece at hand at most.
struct DirectoryParse {
    const ZipDirectory& found;
    RemoteDirectory& directory;
    const ListingLimits& limits;
    ZipInput window{};
    std::uint64_t offset = 0;  // of the next record
    std::uint64_t index = 0;
    Sha256 hash = StartSha256();
    bool keepHashing = false;  // after a refusal: a digest mismatch names the cause better
    std::ofstream* keep = nullptr;
    std::wstring why{};
};

// The stored name as the relative path gives it: its components joined by '/'
// in UTF-8, with a '/' after a directory's.
std::string NameFromPath(const RemoteDirectory& directory, const ListedEntry& listed) {
    std::wstring text = PathToWide(RelativePath(directory, listed));
    std::replace(text.begin(), text.end(), static_cast<wchar_t>(std::filesystem::path::preferred_separator), L'/');
    std::string name = WideToUtf8(text);
    if (listed.isDirectory) name += '/';
    return name;
}

std::size_t StoredNameSize(const ListedEntry& listed) { return listed.nameIsPath ? 0 : listed.nameSize; }

std::uint64_t ListingBytes(const RemoteDirectory& directory) {
    return directory.entries.size() * sizeof(ListedEntry) + directory.names.size() +
           directory.paths.size() * sizeof(std::filesystem::path::value_type);
}

bool AddToListing(DirectoryParse& parse, const ZipEntry& entry, const EntryPath& path) {
    RemoteDirectory& directory = parse.directory;
    ListedEntry listed;
    listed.compressedSize = entry.compressedSize;
    listed.uncompressedSize = entry.uncompressedSize;
    listed.localOffset = entry.localOffset;
    listed.crc = entry.crc;
    listed.externalAttributes = entry.externalAttributes;
    listed.madeBy = entry.madeBy;
    listed.flags = entry.flags;
    listed.method = entry.method;
    listed.isDirectory = path.isDirectory;
    // Every name and digest comes from the directory: the blocks stay within its size.
    listed.namesAt = static_cast<std::uint32_t>(directory.names.size());
    listed.nameSize = static_cast<std::uint16_t>(entry.name.size());
    listed.unicodeNameSize = static_cast<std::uint16_t>(entry.unicodeName.size());
    listed.hasDigest = entry.contentSha256.size() == kContentSha256Size;
    listed.relativeAt = static_cast<std::uint32_t>(directory.paths.size());
    for (const auto& component : path.components) {
        if (directory.paths.size() != listed.relativeAt) directory.paths += std::filesystem::path::preferred_separator;
        directory.paths += WideToPath(component).native();
    }
    listed.relativeSize = static_cast<std::uint32_t>(directory.paths.size() - listed.relativeAt);
    // Most names are their path with '/': those are made again when asked for.
    listed.nameIsPath = entry.unicodeName.empty() && NameFromPath(directory, listed) == entry.name;
    if (!listed.nameIsPath) directory.names += entry.name;
    directory.names += entry.unicodeName;
    if (listed.hasDigest) directory.names += entry.contentSha256;
    directory.entries.push_back(listed);
    if (ListingBytes(directory) <= parse.limits.bytes) return true;
    parse.why = L"a central directory whose listing takes over " + std::to_wstring(parse.limits.bytes) + L" bytes";
    return false;
}

// Lists every record that the window holds whole; false when one is refused.
bool ListHeldRecords(DirectoryParse& parse) {
    ZipInput& window = parse.window;
    while (parse.index < parse.found.entryCount) {
        const std::uint64_t heldEnd = window.heldFrom + window.held.size();
        unsigned char fixed[kCentralHeaderFixedSize];
        if (heldEnd - parse.offset < sizeof fixed || !ReadAt(window, parse.offset, fixed, sizeof fixed)) return true;
        const std::size_t length = CentralEntryLength(fixed);
        if (length != 0 && heldEnd - parse.offset < length) return true;
        ZipEntry entry;
        EntryPath path;
        if (!ReadDirectoryEntry(window, parse.found, parse.index, parse.offset, entry, path, parse.why)) return false;
        if (!AddToListing(parse, entry, path)) return false;
        ++parse.index;
    }
    return true;
}

bool TakeDirectoryBytes(DirectoryParse& parse, const char* data, std::size_t size) {
    AddToSha256(parse.hash, reinterpret_cast<const unsigned char*>(data), size);
    if (parse.keep) parse.keep->write(data, static_cast<std::streamsize>(size));
    if (!parse.why.empty()) return parse.keepHashing;
    ZipInput& window = parse.window;
    window.held.append(data, size);
    if (!ListHeldRecords(parse)) {
        GiveBack(window.held);
        return parse.keepHashing;
    }
    const auto consumed = static_cast<std::size_t>(std::min(parse.offset - window.heldFrom, window.held.size()));
    window.held.erase(0, consumed);
    window.heldFrom += consumed;
    return true;
}

bool DigestMatches(Sha256& hash, const std::string& hex) {
    Sha256Digest expected{}, actual{};
    return ParseHexDigest(hex, expected) && FinishSha256(hash, actual) && actual == expected;
}

// Gives each entry where its bytes must end, and refuses entries whose bytes
// would overlap: local header, name and data lie before the next entry.
std::wstring RefusalOfOverlaps(RemoteDirectory& directory) {
    auto& entries = directory.entries;
    std::vector<std::uint32_t> byOffset(entries.size());
    std::iota(byOffset.begin(), byOffset.end(), 0u);
    std::sort(byOffset.begin(), byOffset.end(),
        [&](std::uint32_t a, std::uint32_t b) { return entries[a].localOffset < entries[b].localOffset; });
    for (std::size_t i = 0; i < byOffset.size(); ++i) {
        ListedEntry& listed = entries[byOffset[i]];
        listed.regionEnd = i + 1 < byOffset.size() ? entries[byOffset[i + 1]].localOffset : directory.offset;
        const std::uint64_t least = kLocalHeaderFixedSize + listed.nameSize + listed.compressedSize;
        if (RegionSize(listed) < least) return DescribeEntry(EntryOf(directory, listed)) + L" overlaps the next entry";
    }
    return {};
}

}  // namespace

NativePathView RelativeNative(const RemoteDirectory& directory, const ListedEntry& listed) {
    return NativePathView(directory.paths).substr(listed.relativeAt, listed.relativeSize);
}

std::filesystem::path RelativePath(const RemoteDirectory& directory, const ListedEntry& listed) {
    return std::filesystem::path(RelativeNative(directory, listed));
}

std::string_view ContentDigest(const RemoteDirectory& directory, const ListedEntry& listed) {
    if (!listed.hasDigest) return {};
    return std::string_view(directory.names)
        .substr(listed.namesAt + StoredNameSize(listed) + listed.unicodeNameSize, kContentSha256Size);
}

ZipEntry EntryOf(const RemoteDirectory& directory, const ListedEntry& listed) {
    ZipEntry entry;
    entry.madeBy = listed.madeBy;
    entry.flags = listed.flags;
    entry.method = listed.method;
    entry.crc = listed.crc;
    entry.externalAttributes = listed.externalAttributes;
    entry.compressedSize = listed.compressedSize;
    entry.uncompressedSize = listed.uncompressedSize;
    entry.localOffset = listed.localOffset;
    entry.name =
        listed.nameIsPath ? NameFromPath(directory, listed) : directory.names.substr(listed.namesAt, listed.nameSize);
    entry.unicodeName = directory.names.substr(listed.namesAt + StoredNameSize(listed), listed.unicodeNameSize);
    entry.contentSha256 = ContentDigest(directory, listed);
    return entry;
}

std::wstring RefusalOfListing(RemoteDirectory& directory) {
    const auto& entries = directory.entries;
    std::vector<std::uint32_t> files;
    for (std::uint32_t i = 0; i < entries.size(); ++i)
        if (!entries[i].isDirectory) files.push_back(i);
    const auto path = [&](std::uint32_t i) { return RelativeNative(directory, entries[i]); };
    std::stable_sort(files.begin(), files.end(), [&](std::uint32_t a, std::uint32_t b) { return path(a) < path(b); });
    const auto twice = std::adjacent_find(
        files.begin(), files.end(), [&](std::uint32_t a, std::uint32_t b) { return path(a) == path(b); });
    if (twice != files.end()) return DescribeEntry(EntryOf(directory, entries[*(twice + 1)])) + L" appears twice";
    return RefusalOfOverlaps(directory);
}

namespace {

RemoteRead ReadDirectoryBytes(RemotePackage& package, const std::optional<std::string>& indexSha256,
    RemoteDirectory& directory, const ListingLimits& limits, std::ofstream* keep) {
    RemoteRead read = LearnRemoteSize(package);
    if (read.end != RemoteEnd::Complete) return read;
    const std::uint64_t tailFrom = package.size - std::min<std::uint64_t>(package.size, kEndSearchSize);
    std::string tail;
    read = FetchInto(package, tailFrom, package.size, tail);
    if (read.end != RemoteEnd::Complete) return read;
    ZipInput input;
    HoldZipTail(input, package.size, tailFrom, tail);
    ZipDirectory found;
    if (!FindZipDirectory(input, found)) return {RemoteEnd::FallBack, L"no valid central directory"};
    if (package.size - found.offset > kRemoteDirectoryLimit)
        return {RemoteEnd::FallBack, L"a central directory over " + std::to_wstring(kRemoteDirectoryLimit) + L" bytes"};
    if (found.entryCount > limits.entries)
        return {RemoteEnd::FallBack, L"a central directory of " + std::to_wstring(found.entryCount) +
                                         L" entries, over the " + std::to_wstring(limits.entries) + L" read"};
    directory = RemoteDirectory{found.offset, {}, {}, {}, false};
    // Reserved, not touched: only what the entries fill takes memory.
    directory.entries.reserve(static_cast<std::size_t>(found.entryCount));
    directory.names.reserve(static_cast<std::size_t>(found.size));
    directory.paths.reserve(static_cast<std::size_t>(found.size));
    DirectoryParse parse{found, directory, limits};
    parse.keepHashing = indexSha256.has_value();
    parse.keep = keep;
    HoldZipTail(parse.window, package.size, found.offset, {});
    parse.offset = found.offset;
    // The directory and the end records, the part that the index digest covers.
    if (found.offset < tailFrom) {
        read = ReadRemoteRange(package, found.offset, tailFrom,
            [&](const char* data, std::size_t size) { return TakeDirectoryBytes(parse, data, size); });
        if (read.end == RemoteEnd::SinkRefused) return {RemoteEnd::FallBack, parse.why};
        if (read.end != RemoteEnd::Complete) return read;
    }
    const auto skipped = static_cast<std::size_t>(std::max(found.offset, tailFrom) - tailFrom);
    TakeDirectoryBytes(parse, tail.data() + skipped, tail.size() - skipped);
    GiveBack(tail);
    if (indexSha256 && !DigestMatches(parse.hash, *indexSha256))
        return {RemoteEnd::FallBack, L"the central directory does not match update-index-sha256"};
    if (!parse.why.empty()) return {RemoteEnd::FallBack, parse.why};
    if (parse.index < found.entryCount)
        return {RemoteEnd::FallBack, L"central directory record " + std::to_wstring(parse.index + 1) + L" is damaged"};
    if (parse.offset != found.offset + found.size)
        return {RemoteEnd::FallBack,
            L"the central directory holds more than its " + std::to_wstring(found.entryCount) + L" entries"};
    const std::wstring why = RefusalOfListing(directory);
    if (!why.empty()) return {RemoteEnd::FallBack, why};
    return {};
}

}  // namespace

RemoteRead ReadRemoteDirectory(RemotePackage& package, const std::optional<std::string>& indexSha256,
    RemoteDirectory& directory, const ListingLimits& limits, const std::filesystem::path& keepIn) {
    std::ofstream keep;
    if (!keepIn.empty()) keep.open(LongPath(keepIn), std::ios::binary | std::ios::trunc);
    const RemoteRead read =
        ReadDirectoryBytes(package, indexSha256, directory, limits, keep.is_open() ? &keep : nullptr);
    keep.close();
    directory.tailKept = read.end == RemoteEnd::Complete && !keepIn.empty() && keep;
    if (!keepIn.empty() && !directory.tailKept) RemoveQuietly(keepIn);
    return read;
}

std::uint64_t RegionSize(const ListedEntry& listed) { return listed.regionEnd - listed.localOffset; }

std::uint64_t SizeOnDisk(std::uint64_t size) {
    constexpr std::uint64_t kCluster = 4096;
    return (size / kCluster + (size % kCluster != 0 ? 1 : 0)) * kCluster;
}

std::uint64_t UnpackedSize(const RemoteDirectory& directory) {
    std::uint64_t bytes = 0;
    for (const auto& listed : directory.entries)
        if (!listed.isDirectory) bytes += SizeOnDisk(listed.uncompressedSize);
    return bytes;
}
