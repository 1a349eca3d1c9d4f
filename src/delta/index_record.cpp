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

void TakePlannedFiles(IndexBuilder& builder, DifferentialPlan& plan) {
    builder = std::move(plan.compared);
    DropIndexRecords(builder, plan.comparedOther);  // fetched: recorded below with the package's CRC-32
    for (const FetchSpan& span : plan.spans)
        for (const ListedEntry* listed : span.entries)
            AddToIndex(builder, RelativePath(plan.directory, *listed), listed->crc,
                std::string(ContentDigest(plan.directory, *listed)));
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
