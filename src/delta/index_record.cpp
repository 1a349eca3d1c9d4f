#include "delta/index_record.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "base/file_system.h"
#include "base/give_back.h"
#include "base/long_path.h"
#include "base/text.h"
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

void TakePlannedFiles(IndexBuilder& builder, PackageListing& listing, DifferentialPlan& plan) {
    builder = std::move(plan.compared);
    DropIndexRecords(builder, plan.comparedOther);  // fetched: recorded below with the package's CRC-32
    for (const FetchSpan& span : plan.spans)
        for (const ListedEntry* listed : span.entries)
            AddToIndex(
                builder, RelativePath(plan.directory, *listed), listed->crc, ContentDigest(plan.directory, *listed));
    listing = TakeListing(plan);
    GiveBack(plan.directory);
    // The compared files' names, from the relative paths the listing took.
    NameIndexRecords(builder, listing.files.block);
}

namespace {

constexpr char kSavedEnd[4] = {'E', 'N', 'D', '\0'};

template <typename T>
void Put(std::ofstream& out, T value) {
    out.write(reinterpret_cast<const char*>(&value), sizeof value);
}

template <typename T>
bool Get(std::ifstream& in, T& value) {
    return static_cast<bool>(in.read(reinterpret_cast<char*>(&value), sizeof value));
}

}  // namespace

// At most how many files follow; then each file: its CRC-32, its name's
// length, whether a digest follows, the name, the digest; then kSavedEnd and
// the count, so that a cut file shows.
bool SavePackageFiles(const fs::path& package, const fs::path& saved) {
    std::ofstream out(LongPath(saved), std::ios::binary | std::ios::trunc);
    std::uint64_t count = 0;
    const auto save = [&](const ZipEntry& entry, const EntryPath& path) {
        if (path.isDirectory || path.components.empty()) return true;
        const std::string name = WideToUtf8(PathToWide(RelativePathOf(path)));
        const bool digest = entry.contentSha256.size() == kContentSha256Size;
        Put(out, entry.crc);
        Put(out, static_cast<std::uint32_t>(name.size()));
        Put(out, static_cast<std::uint8_t>(digest));
        out << name;
        if (digest) out << entry.contentSha256;
        ++count;
        return static_cast<bool>(out);
    };
    ZipInput input;
    ZipDirectory directory;
    std::wstring why;
    if (!OpenZipInput(package, input) || !FindZipDirectory(input, directory)) return false;
    Put(out, static_cast<std::uint64_t>(MostEntriesIn(directory)));
    const bool read = ReadZipDirectory(input, directory, save, why);
    out.write(kSavedEnd, sizeof kSavedEnd);
    Put(out, count);
    out.close();
    return read && out;
}

void AddSavedFiles(IndexBuilder& builder, const fs::path& saved) {
    std::error_code ec;
    const std::uint64_t size = std::min(FileSize(saved, ec), kInstalledIndexLimit);
    std::ifstream in(LongPath(saved), std::ios::binary);
    std::uint64_t count = 0, most = 0;
    // Each file takes 10 bytes at least; its name and digest no more than the file.
    if (Get(in, most)) ReserveRecords(builder, static_cast<std::size_t>(std::min(most, size / 10)), size);
    std::string name, digest;
    for (;;) {
        std::uint32_t crc = 0, length = 0;
        std::uint8_t hasDigest = 0;
        if (!Get(in, crc)) break;
        if (std::memcmp(&crc, kSavedEnd, sizeof crc) == 0) {  // the end, if the count follows and nothing more
            std::uint64_t saidCount = 0;
            if (!Get(in, saidCount) || saidCount != count || in.peek() != std::ifstream::traits_type::eof()) break;
            return;
        }
        if (!Get(in, length) || !Get(in, hasDigest) || length > kInstalledIndexLimit) break;
        name.resize(length);
        digest.resize(hasDigest ? kContentSha256Size : 0);
        if (!in.read(name.data(), length) || !in.read(digest.data(), static_cast<std::streamsize>(digest.size())))
            break;
        AddToIndex(builder, WideToPath(Utf8ToWide(name)), crc, digest);
        ++count;
    }
    GiveBack(builder);  // not whole: nothing is recorded
}
