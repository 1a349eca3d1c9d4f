#include "delta/installed_index.h"

#include <libdeflate.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <fstream>
#include <string_view>

#include "base/atomic_file.h"
#include "base/file_system.h"
#include "base/long_path.h"
#include "base/text.h"
#include "rules/working_names.h"

namespace fs = std::filesystem;

static_assert(std::endian::native == std::endian::little, "the index is read and written in place, little-endian");

namespace {

constexpr char kMagic[8] = {'U', 'P', 'D', 'I', 'N', 'D', 'E', 'X'};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kHeaderSize = 32;
constexpr std::size_t kRecordSize = 88;
constexpr std::uint32_t kHasDigest = 1;
constexpr std::uint32_t kSeen = 2;  // while gathered only: the identity is the one seen
static_assert(sizeof(IndexRecord) == kRecordSize, "a record is written as it lies in memory");

struct Header {
    char magic[8];
    std::uint32_t version;
    std::uint32_t count;
    std::uint64_t namesSize;
    std::uint32_t crc;
    std::uint32_t zero;
};
static_assert(sizeof(Header) == kHeaderSize);

std::string IndexName(const fs::path& relative) { return WideToUtf8(PathToWide(relative)); }

IndexRecord RecordAt(const std::string& bytes, std::size_t i) {
    IndexRecord record;
    std::memcpy(&record, bytes.data() + kHeaderSize + i * kRecordSize, kRecordSize);
    return record;
}

std::string_view NameOf(const std::string& bytes, std::uint32_t count, const IndexRecord& record) {
    return std::string_view(bytes).substr(kHeaderSize + count * kRecordSize + record.nameOffset, record.nameLength);
}

bool ReadWhole(const fs::path& file, std::string& bytes, std::wstring& why) {
    std::error_code ec;
    const std::uint64_t size = FileSize(file, ec);
    if (ec) return false;  // no index: nothing to say
    if (size > kInstalledIndexLimit) {
        why = L"it is larger than " + std::to_wstring(kInstalledIndexLimit) + L" bytes";
        return false;
    }
    std::ifstream in(LongPath(file), std::ios::binary);
    bytes.resize(static_cast<std::size_t>(size));
    if (!in.read(bytes.data(), static_cast<std::streamsize>(size)) || in.peek() != std::ifstream::traits_type::eof()) {
        why = L"it cannot be read";
        return false;
    }
    return true;
}

}  // namespace

std::wstring RefusalOfIndex(const std::string& bytes) {
    Header header{};
    if (bytes.size() < kHeaderSize) return L"it is cut short";
    std::memcpy(&header, bytes.data(), kHeaderSize);
    if (std::memcmp(header.magic, kMagic, sizeof kMagic) != 0) return L"it is not an index";
    if (header.version != kVersion) return L"its format " + std::to_wstring(header.version) + L" is unknown";
    const std::uint64_t expected = kHeaderSize + std::uint64_t{header.count} * kRecordSize + header.namesSize;
    if (bytes.size() != expected) return L"its size does not match its header";
    const std::uint32_t crc = libdeflate_crc32(0, bytes.data() + kHeaderSize, bytes.size() - kHeaderSize);
    if (crc != header.crc || header.zero != 0) return L"its CRC-32 does not match";
    std::string_view previous;
    for (std::uint32_t i = 0; i < header.count; ++i) {
        const IndexRecord record = RecordAt(bytes, i);
        if (record.nameLength == 0 || std::uint64_t{record.nameOffset} + record.nameLength > header.namesSize ||
            (record.flags & ~kHasDigest) != 0)
            return L"record " + std::to_wstring(i) + L" is malformed";
        const std::string_view name = NameOf(bytes, header.count, record);
        if (i > 0 && name <= previous) return L"its records are out of order";
        previous = name;
    }
    return {};
}

bool ReadInstalledIndex(const fs::path& installDir, InstalledIndex& index, std::wstring& why) {
    index = {};
    why.clear();
    std::string bytes;
    if (!ReadWhole(installDir / kInstalledIndexName, bytes, why)) return false;
    why = RefusalOfIndex(bytes);
    if (!why.empty()) return false;
    std::memcpy(&index.count, bytes.data() + offsetof(Header, count), sizeof index.count);
    index.bytes = std::move(bytes);
    return true;
}

std::optional<std::uint32_t> TrustedCrc(
    const InstalledIndex& index, const fs::path& relative, const FileIdentity& identity) {
    const auto content = TrustedContentOf(index, relative, identity);
    return content ? std::optional(content->crc) : std::nullopt;
}

std::optional<TrustedContent> TrustedContentOf(
    const InstalledIndex& index, const fs::path& relative, const FileIdentity& identity) {
    const std::string name = IndexName(relative);
    std::uint32_t low = 0, high = index.count;
    while (low < high) {  // the first record whose name is not below `name`
        const std::uint32_t middle = low + (high - low) / 2;
        if (NameOf(index.bytes, index.count, RecordAt(index.bytes, middle)) < name)
            low = middle + 1;
        else
            high = middle;
    }
    if (low == index.count) return std::nullopt;
    const IndexRecord record = RecordAt(index.bytes, low);
    if (NameOf(index.bytes, index.count, record) != name || !(record.identity == identity)) return std::nullopt;
    TrustedContent content{record.crc, {}};
    if (record.flags & kHasDigest)
        content.digest.assign(reinterpret_cast<const char*>(record.digest), sizeof record.digest);
    return content;
}

void AddToIndex(IndexBuilder& builder, const fs::path& relative, std::uint32_t crc, const std::string& digest,
    const FileIdentity* seen) {
    const std::string name = IndexName(relative);
    if (name.empty() || builder.names.size() + name.size() > kInstalledIndexLimit) return;
    IndexRecord record;
    record.crc = crc;
    record.nameOffset = static_cast<std::uint32_t>(builder.names.size());
    record.nameLength = static_cast<std::uint32_t>(name.size());
    if (digest.size() == sizeof record.digest) {
        record.flags = kHasDigest;
        std::memcpy(record.digest, digest.data(), sizeof record.digest);
    }
    if (seen) {
        record.flags |= kSeen;
        record.identity = *seen;
    }
    builder.names += name;
    builder.records.push_back(record);
}

void IdentifyFiles(IndexBuilder& builder, const fs::path& installDir) {
    std::erase_if(builder.records, [&](IndexRecord& record) {
        const std::string name = builder.names.substr(record.nameOffset, record.nameLength);
        FileIdentity now;
        if (!ReadFileIdentity(installDir / WideToPath(Utf8ToWide(name)), now)) return true;
        if ((record.flags & kSeen) && !(record.identity == now)) return true;
        record.identity = now;
        record.flags &= ~kSeen;
        return false;
    });
}

// Leaves out every record that shares its name or its file with another: a
// package that lists a name twice, or two names that one file system takes
// for one file, leaves nothing that one record could vouch for.
// In place: 100,000 records take 8.8 MB.
void DropShared(std::vector<IndexRecord>& records, const auto& sameGroup, const auto& before) {
    std::sort(records.begin(), records.end(), before);
    std::size_t kept = 0;
    for (std::size_t i = 0, end = 0; i < records.size(); i = end) {
        for (end = i + 1; end < records.size() && sameGroup(records[i], records[end]);) ++end;
        if (end == i + 1) records[kept++] = records[i];
    }
    records.resize(kept);
}

EncodedIndex EncodeIndex(IndexBuilder& builder) {
    const auto name = [&](const IndexRecord& r) {
        return std::string_view(builder.names).substr(r.nameOffset, r.nameLength);
    };
    const auto file = [](const IndexRecord& r) { return std::pair(r.identity.volume, r.identity.id); };
    auto& records = builder.records;
    DropShared(
        records, [&](const auto& a, const auto& b) { return file(a) == file(b); },
        [&](const auto& a, const auto& b) { return file(a) < file(b); });
    DropShared(
        records, [&](const auto& a, const auto& b) { return name(a) == name(b); },
        [&](const auto& a, const auto& b) { return name(a) < name(b); });
    Header header{};
    std::memcpy(header.magic, kMagic, sizeof kMagic);
    header.version = kVersion;
    header.count = static_cast<std::uint32_t>(records.size());
    header.namesSize = builder.names.size();
    EncodedIndex encoded;
    encoded.records = std::string_view(reinterpret_cast<const char*>(records.data()), records.size() * kRecordSize);
    encoded.names = builder.names;
    header.crc = libdeflate_crc32(libdeflate_crc32(0, encoded.records.data(), encoded.records.size()),
        encoded.names.data(), encoded.names.size());
    encoded.header.assign(reinterpret_cast<const char*>(&header), kHeaderSize);
    return encoded;
}

bool WriteInstalledIndex(const fs::path& installDir, IndexBuilder& builder) {
    IdentifyFiles(builder, installDir);
    const EncodedIndex encoded = EncodeIndex(builder);
    return WriteFileAtomically(installDir / kInstalledIndexName, {encoded.header, encoded.records, encoded.names});
}
