#include "delta/remote_directory.h"

#include <algorithm>
#include <fstream>
#include <numeric>

#include "base/file_system.h"
#include "base/give_back.h"
#include "base/long_path.h"
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

std::uint64_t ListingBytes(const RemoteDirectory& directory) {
    return directory.entries.size() * sizeof(ListedEntry) +
           directory.paths.size() * sizeof(std::filesystem::path::value_type);
}

// `recordAt`: where the entry's central record begins, from the directory's start.
bool AddToListing(DirectoryParse& parse, const ZipEntry& entry, const EntryPath& path, std::uint64_t recordAt) {
    RemoteDirectory& directory = parse.directory;
    ListedEntry listed;
    listed.localOffset = entry.localOffset;
    // Until the overlaps are checked: where the entry's own bytes end at least.
    listed.regionEnd = entry.localOffset + kLocalHeaderFixedSize + entry.name.size() + entry.compressedSize;
    listed.uncompressedSize = entry.uncompressedSize;
    listed.crc = entry.crc;
    listed.recordAt = static_cast<std::uint32_t>(recordAt);  // the directory is under 4 GiB
    listed.isDirectory = path.isDirectory;
    listed.hasDigest = entry.contentSha256.size() == kContentSha256Size;
    listed.relativeAt = static_cast<std::uint32_t>(directory.paths.size());
    directory.paths += RelativePathOf(path).native();
    const std::size_t relativeSize = directory.paths.size() - listed.relativeAt;
    if (relativeSize > UINT16_MAX) {
        parse.why = DescribeEntry(entry) + L" has too long a path";
        return false;
    }
    listed.relativeSize = static_cast<std::uint16_t>(relativeSize);
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
        const std::uint64_t recordAt = parse.offset - parse.found.offset;
        if (!ReadDirectoryEntry(window, parse.found, parse.index, parse.offset, entry, path, parse.why)) return false;
        if (!AddToListing(parse, entry, path, recordAt)) return false;
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
        const std::uint64_t ownEnd = listed.regionEnd;  // local header, name and data
        listed.regionEnd = i + 1 < byOffset.size() ? entries[byOffset[i + 1]].localOffset : directory.found.offset;
        if (listed.regionEnd < ownEnd) return DescribeEntry(EntryOf(directory, listed)) + L" overlaps the next entry";
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

ZipEntry ReadListedEntry(const RemoteDirectory& directory, const ListedEntry& listed, std::ifstream& kept) {
    unsigned char fixed[kCentralHeaderFixedSize];
    kept.clear();
    if (!kept.seekg(listed.recordAt) || !kept.read(reinterpret_cast<char*>(fixed), sizeof fixed)) return {};
    std::string record(reinterpret_cast<const char*>(fixed), sizeof fixed);
    record.resize(std::max(CentralEntryLength(fixed), sizeof fixed));
    if (!kept.read(record.data() + sizeof fixed, static_cast<std::streamsize>(record.size() - sizeof fixed))) return {};
    ZipInput window;
    std::uint64_t offset = directory.found.offset + listed.recordAt;
    HoldZipTail(window, directory.packageSize, offset, std::move(record));
    ZipEntry entry;
    EntryPath path;
    std::wstring why;
    // The kept file is the updater's own, but it is read again: it must still say what was listed.
    if (!ReadDirectoryEntry(window, directory.found, 0, offset, entry, path, why) || entry.crc != listed.crc ||
        entry.localOffset != listed.localOffset || entry.uncompressedSize != listed.uncompressedSize ||
        RelativePathOf(path).native() != RelativeNative(directory, listed))
        return {};
    return entry;
}

ZipEntry EntryOf(const RemoteDirectory& directory, const ListedEntry& listed) {
    std::ifstream kept(LongPath(directory.keptIn), std::ios::binary);
    return ReadListedEntry(directory, listed, kept);
}

std::string ContentDigest(const RemoteDirectory& directory, const ListedEntry& listed) {
    return listed.hasDigest ? EntryOf(directory, listed).contentSha256 : std::string();
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
    RemoteDirectory& directory, const ListingLimits& limits, std::ofstream& keep) {
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
    directory.found = found;
    directory.packageSize = package.size;
    // Reserved, not touched: only what the entries fill takes memory.
    directory.entries.reserve(static_cast<std::size_t>(found.entryCount));
    directory.paths.reserve(static_cast<std::size_t>(found.size));
    DirectoryParse parse{found, directory, limits};
    parse.keepHashing = indexSha256.has_value();
    parse.keep = &keep;
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
    keep.flush();  // the listing's checks name entries: they are read again from there
    const std::wstring why = RefusalOfListing(directory);
    if (!why.empty()) return {RemoteEnd::FallBack, why};
    return {};
}

}  // namespace

RemoteRead ReadRemoteDirectory(RemotePackage& package, const std::optional<std::string>& indexSha256,
    RemoteDirectory& directory, const std::filesystem::path& keepIn, const ListingLimits& limits) {
    directory = {};
    directory.keptIn = keepIn;
    std::ofstream keep;
    if (!keepIn.empty()) keep.open(LongPath(keepIn), std::ios::binary | std::ios::trunc);
    if (!keep.is_open()) return {RemoteEnd::FallBack, L"its central directory cannot be kept on the disk"};
    RemoteRead read = ReadDirectoryBytes(package, indexSha256, directory, limits, keep);
    keep.close();
    directory.tailKept = read.end == RemoteEnd::Complete && keep;
    if (read.end == RemoteEnd::Complete && !directory.tailKept)
        read = {RemoteEnd::FallBack, L"its central directory cannot be kept on the disk"};
    if (!directory.tailKept) RemoveQuietly(keepIn);
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
