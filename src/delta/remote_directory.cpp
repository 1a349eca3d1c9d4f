#include "delta/remote_directory.h"

#include <algorithm>
#include <unordered_set>

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

bool DigestMatches(const std::string& bytes, const std::string& hex) {
    Sha256Digest expected{}, actual{};
    return ParseHexDigest(hex, expected) && Sha256Of(bytes, actual) && actual == expected;
}

std::filesystem::path RelativePathOf(const EntryPath& path) {
    std::filesystem::path relative;
    for (const auto& component : path.components) relative /= WideToPath(component);
    return relative;
}

// Gives each entry where its bytes must end, and refuses entries whose bytes
// would overlap: local header, name and data lie before the next entry.
std::wstring RefusalOfOverlaps(std::vector<ListedEntry>& entries, std::uint64_t directoryOffset) {
    std::vector<ListedEntry*> byOffset;
    for (auto& listed : entries) byOffset.push_back(&listed);
    std::sort(
        byOffset.begin(), byOffset.end(), [](auto* a, auto* b) { return a->entry.localOffset < b->entry.localOffset; });
    for (std::size_t i = 0; i < byOffset.size(); ++i) {
        ListedEntry& listed = *byOffset[i];
        listed.regionEnd = i + 1 < byOffset.size() ? byOffset[i + 1]->entry.localOffset : directoryOffset;
        const std::uint64_t least = kLocalHeaderFixedSize + listed.entry.name.size() + listed.entry.compressedSize;
        if (RegionSize(listed) < least) return DescribeEntry(listed.entry) + L" overlaps the next entry";
    }
    return {};
}

}  // namespace

std::wstring RefusalOfListing(std::vector<ListedEntry>& entries, std::uint64_t directoryOffset) {
    std::unordered_set<std::filesystem::path::string_type> files;
    for (const auto& listed : entries)
        if (!listed.isDirectory && !files.insert(listed.relative.native()).second)
            return DescribeEntry(listed.entry) + L" appears twice";
    return RefusalOfOverlaps(entries, directoryOffset);
}

RemoteRead ReadRemoteDirectory(
    RemotePackage& package, const std::optional<std::string>& indexSha256, RemoteDirectory& directory) {
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
    // The directory and the end records, the part that the index digest covers.
    std::string index;
    if (found.offset < tailFrom) {
        read = FetchInto(package, found.offset, tailFrom, index);
        if (read.end != RemoteEnd::Complete) return read;
    }
    index += tail.substr(static_cast<std::size_t>(std::max(found.offset, tailFrom) - tailFrom));
    tail = std::string();
    if (indexSha256 && !DigestMatches(index, *indexSha256))
        return {RemoteEnd::FallBack, L"the central directory does not match update-index-sha256"};
    HoldZipTail(input, package.size, found.offset, std::move(index));
    directory.offset = found.offset;
    directory.entries.clear();
    directory.entries.reserve(static_cast<std::size_t>(found.entryCount));  // bounded by the directory's size
    std::wstring why;
    const bool listed = ReadZipDirectory(
        input, found,
        [&](const ZipEntry& entry, const EntryPath& path) {
            directory.entries.push_back({entry, RelativePathOf(path), path.isDirectory, 0});
            return true;
        },
        why);
    if (!listed) return {RemoteEnd::FallBack, why};
    why = RefusalOfListing(directory.entries, directory.offset);
    if (!why.empty()) return {RemoteEnd::FallBack, why};
    return {};
}

std::uint64_t RegionSize(const ListedEntry& listed) { return listed.regionEnd - listed.entry.localOffset; }
