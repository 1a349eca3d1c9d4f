#include "delta/index_record.h"

#include <algorithm>

#include "base/give_back.h"
#include "zip/zip_directory.h"

namespace fs = std::filesystem;

namespace {

// Room for `count` more records at once: grown by doubling, 100,000 records
// (5.6 MB) would take up to twice that while they are moved.
void ReserveRecords(IndexBuilder& builder, std::size_t count, std::size_t nameBytes) {
    builder.records.reserve(builder.records.size() + count);
    builder.names.reserve(builder.names.size() + nameBytes);
}

}  // namespace

void AddPlannedFiles(IndexBuilder& builder, const DifferentialPlan& plan) {
    // The names, and the digests of the fetched files.
    ReserveRecords(builder, plan.directory.entries.size(),
        plan.directory.paths.size() + static_cast<std::size_t>(plan.changed) * kContentSha256Size);
    for (const FetchSpan& span : plan.spans)
        for (const ListedEntry* listed : span.entries)
            AddToIndex(builder, RelativePath(plan.directory, *listed), listed->crc,
                std::string(ContentDigest(plan.directory, *listed)));
    for (const SeenFile& seen : plan.seen)
        if (seen.crc == seen.listed->crc)
            AddToIndex(builder, RelativePath(plan.directory, *seen.listed), seen.crc, {}, &seen.identity);
}

void AddComparedFiles(IndexBuilder& builder, const DifferentialPlan& plan) {
    if (!plan.comparedAll) return;
    ReserveRecords(builder, plan.seen.size(), plan.directory.paths.size());
    for (const SeenFile& seen : plan.seen)
        AddToIndex(builder, RelativePath(plan.directory, *seen.listed), seen.crc, {}, &seen.identity);
}

void AddPackageFiles(IndexBuilder& builder, const fs::path& package) {
    const auto add = [&](const ZipEntry& entry, const EntryPath& path) {
        if (path.isDirectory || path.components.empty()) return true;
        AddToIndex(builder, RelativePathOf(path), entry.crc, entry.contentSha256);
        return true;
    };
    ZipInput input;
    ZipDirectory directory;
    std::wstring why;
    const bool found = OpenZipInput(package, input) && FindZipDirectory(input, directory);
    // The directory holds every name and digest: its size bounds them.
    if (found)
        ReserveRecords(builder, MostEntriesIn(directory),
            static_cast<std::size_t>(std::min(directory.size, kInstalledIndexLimit)));
    if (!found || !ReadZipDirectory(input, directory, add, why)) GiveBack(builder);
}
