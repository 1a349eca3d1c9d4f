#include "delta/index_record.h"

#include "base/text.h"
#include "zip/zip_directory.h"

namespace fs = std::filesystem;

void AddPlannedFiles(IndexBuilder& builder, const DifferentialPlan& plan) {
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
    for (const SeenFile& seen : plan.seen)
        AddToIndex(builder, RelativePath(plan.directory, *seen.listed), seen.crc, {}, &seen.identity);
}

void AddPackageFiles(IndexBuilder& builder, const fs::path& package) {
    const auto add = [&](const ZipEntry& entry, const EntryPath& path) {
        if (path.isDirectory || path.components.empty()) return true;
        fs::path relative;
        for (const std::wstring& component : path.components) relative /= WideToPath(component);
        AddToIndex(builder, relative, entry.crc, entry.contentSha256);
        return true;
    };
    ZipInput input;
    ZipDirectory directory;
    std::wstring why;
    if (!OpenZipInput(package, input) || !FindZipDirectory(input, directory) ||
        !ReadZipDirectory(input, directory, add, why))
        builder = {};
}
