#include "delta/installed_index.h"

#include <libdeflate.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <string_view>

#include "base/atomic_file.h"
#include "base/file_system.h"
#include "base/give_back.h"
#include "base/long_path.h"
#include "base/text.h"
#include "rules/working_names.h"
#include "zip/zip_format.h"

namespace fs = std::filesystem;

static_assert(std::endian::native == std::endian::little, "the index is read and written in place, little-endian");

namespace {

constexpr char kMagic[8] = {'U', 'P', 'D', 'I', 'N', 'D', 'E', 'X'};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kHeaderSize = 32;
constexpr std::size_t kRecordSize = 88;
constexpr std::uint32_t kHasDigest = 1;
constexpr std::uint32_t kSeen = 2;     // while gathered only: the identity is the one seen
constexpr std::uint32_t kUnnamed = 4;  // while gathered only: the name is still in a block of native paths
// Records looked up a block at a time: one read of 2.8 KB per block, and one
// name held per block to find it.
constexpr std::uint32_t kBlockRecords = 32;
// Records and names are checked and written this many records at a time.
constexpr std::size_t kChunkRecords = 1024;

struct Header {
    char magic[8];
    std::uint32_t version;
    std::uint32_t count;
    std::uint64_t namesSize;
    std::uint32_t crc;
    std::uint32_t zero;
};
static_assert(sizeof(Header) == kHeaderSize);

// A record as the file holds it: the gathered record (its flags kHasDigest at
// most, its name's offset in the file's name block), then the digest.
struct StoredRecord {
    IndexRecord fields;
    unsigned char digest[kContentSha256Size] = {};
};
static_assert(sizeof(StoredRecord) == kRecordSize, "a record is written as it lies in memory");

std::string IndexName(const fs::path& relative) { return WideToUtf8(PathToWide(relative)); }

StoredRecord StoredAt(const char* bytes) {
    StoredRecord record;
    std::memcpy(&record, bytes, kRecordSize);
    return record;
}

bool NameFits(const IndexRecord& record, std::uint64_t namesSize) {
    return record.nameLength != 0 && std::uint64_t{record.nameOffset} + record.nameLength <= namesSize &&
           (record.flags & ~kHasDigest) == 0;
}

bool ReadAt(std::ifstream& in, std::uint64_t offset, char* into, std::size_t size) {
    in.clear();
    return in.seekg(static_cast<std::streamoff>(offset)) && in.read(into, static_cast<std::streamsize>(size));
}

// The record's name, through a window of the name block read ahead: names
// written in record order come a window at a time. False when it cannot be read.
bool ReadName(const InstalledIndex& index, const IndexRecord& record, std::string_view& name) {
    constexpr std::uint64_t kWindow = 16 * 1024;
    const std::uint64_t from = record.nameOffset, to = from + record.nameLength;
    if (from < index.windowAt || to > index.windowAt + index.window.size()) {
        index.windowAt = from;
        index.window.resize(static_cast<std::size_t>(std::min(std::max(kWindow, to - from), index.namesSize - from)));
        if (!ReadAt(index.in, index.namesAt + from, index.window.data(), index.window.size())) {
            index.window.clear();
            return false;
        }
    }
    name = std::string_view(index.window).substr(static_cast<std::size_t>(from - index.windowAt), record.nameLength);
    return true;
}

// What the header says, or why it is no index's.
std::wstring RefusalOfHeader(const Header& header, std::uint64_t size) {
    if (std::memcmp(header.magic, kMagic, sizeof kMagic) != 0) return L"it is not an index";
    if (header.version != kVersion) return L"its format " + std::to_wstring(header.version) + L" is unknown";
    if (size != kHeaderSize + std::uint64_t{header.count} * kRecordSize + header.namesSize)
        return L"its size does not match its header";
    return {};
}

// Adds the bytes from `from` to `to` of the file to the CRC-32.
bool AddToCrc(std::ifstream& in, std::uint64_t from, std::uint64_t to, std::uint32_t& crc) {
    std::string chunk;
    for (std::uint64_t at = from; at < to; at += chunk.size()) {
        chunk.resize(static_cast<std::size_t>(std::min<std::uint64_t>(64 * 1024, to - at)));
        if (!ReadAt(in, at, chunk.data(), chunk.size())) return false;
        crc = libdeflate_crc32(crc, chunk.data(), chunk.size());
    }
    return true;
}

// Reads the records a chunk at a time, each with its name: its name within the
// block and after the one before. Notes each block's first name. Empty when they pass.
std::wstring CheckRecords(InstalledIndex& index) {
    std::string chunk, previous;
    for (std::uint32_t first = 0; first < index.count; first += kChunkRecords) {
        const std::uint32_t count = std::min<std::uint32_t>(kChunkRecords, index.count - first);
        chunk.resize(count * kRecordSize);
        if (!ReadAt(index.in, kHeaderSize + std::uint64_t{first} * kRecordSize, chunk.data(), chunk.size()))
            return L"it cannot be read";
        for (std::uint32_t i = 0; i < count; ++i) {
            const IndexRecord record = StoredAt(chunk.data() + i * kRecordSize).fields;
            std::string_view name;
            if (!NameFits(record, index.namesSize)) return L"record " + std::to_wstring(first + i) + L" is malformed";
            if (!ReadName(index, record, name)) return L"it cannot be read";
            if (first + i > 0 && name <= previous) return L"its records are out of order";
            previous = name;
            if ((first + i) % kBlockRecords == 0) index.blockFirst.emplace_back(name);
        }
    }
    return {};
}

// Reads the header, checks the CRC-32 of all that follows it, then each record.
std::wstring CheckIndex(InstalledIndex& index, std::uint64_t size) {
    Header header{};
    if (size < kHeaderSize) return L"it is cut short";
    if (!ReadAt(index.in, 0, reinterpret_cast<char*>(&header), kHeaderSize)) return L"it cannot be read";
    const std::wstring refusal = RefusalOfHeader(header, size);
    if (!refusal.empty()) return refusal;
    std::uint32_t crc = 0;
    if (!AddToCrc(index.in, kHeaderSize, size, crc)) return L"it cannot be read";
    if (crc != header.crc || header.zero != 0) return L"its CRC-32 does not match";
    index.count = header.count;
    index.namesSize = header.namesSize;
    index.namesAt = size - header.namesSize;
    return CheckRecords(index);
}

// The record named exactly `name`, read with its block; none when there is none.
std::optional<StoredRecord> FindRecord(const InstalledIndex& index, std::string_view name) {
    const auto after = std::upper_bound(index.blockFirst.begin(), index.blockFirst.end(), name,
        [](std::string_view wanted, const std::string& first) { return wanted < first; });
    if (after == index.blockFirst.begin()) return std::nullopt;
    const auto block = static_cast<std::uint32_t>(after - index.blockFirst.begin() - 1);
    const std::uint32_t first = block * kBlockRecords, count = std::min(kBlockRecords, index.count - first);
    if (index.blockRead != block) {
        index.blockRead = UINT32_MAX;
        index.block.resize(count * kRecordSize);
        if (!ReadAt(index.in, kHeaderSize + std::uint64_t{first} * kRecordSize, index.block.data(), index.block.size()))
            return std::nullopt;
        index.blockRead = block;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        const StoredRecord record = StoredAt(index.block.data() + i * kRecordSize);
        const IndexRecord& fields = record.fields;
        std::string_view stored;
        // Checked when the index was read; checked again, as the file is read again.
        if (NameFits(fields, index.namesSize) && ReadName(index, fields, stored) && stored == name) return record;
    }
    return std::nullopt;
}

}  // namespace

bool ReadInstalledIndex(const fs::path& installDir, InstalledIndex& index, std::wstring& why) {
    index = {};
    why.clear();
    const fs::path file = installDir / kInstalledIndexName;
    std::error_code ec;
    const std::uint64_t size = FileSize(file, ec);
    if (ec) return false;  // no index: nothing to say
    if (size > kInstalledIndexLimit) {
        why = L"it is larger than " + std::to_wstring(kInstalledIndexLimit) + L" bytes";
        GiveBack(index);
        return false;
    }
    index.in.rdbuf()->pubsetbuf(nullptr, 0);  // each read at once from the file, no buffer between
    index.in.open(LongPath(file), std::ios::binary);
    why = index.in ? CheckIndex(index, size) : L"it cannot be read";
    if (!why.empty()) GiveBack(index);
    return why.empty();
}

std::optional<std::uint32_t> TrustedCrc(
    const InstalledIndex& index, const fs::path& relative, const FileIdentity& identity) {
    const auto content = TrustedContentOf(index, relative, identity);
    return content ? std::optional(content->crc) : std::nullopt;
}

std::optional<TrustedContent> TrustedContentOf(
    const InstalledIndex& index, const fs::path& relative, const FileIdentity& identity) {
    const auto record = FindRecord(index, IndexName(relative));
    if (!record || !(record->fields.identity == identity)) return std::nullopt;
    TrustedContent content{record->fields.crc, {}};
    if (record->fields.flags & kHasDigest)
        content.digest.assign(reinterpret_cast<const char*>(record->digest), kContentSha256Size);
    return content;
}

void AddToIndex(IndexBuilder& builder, const fs::path& relative, std::uint32_t crc, const std::string& digest,
    const FileIdentity* seen) {
    const std::string name = IndexName(relative);
    if (name.empty() || builder.names.size() + name.size() + kContentSha256Size > kInstalledIndexLimit) return;
    IndexRecord record;
    record.crc = crc;
    record.nameOffset = static_cast<std::uint32_t>(builder.names.size());
    record.nameLength = static_cast<std::uint32_t>(name.size());
    builder.names += name;
    if (digest.size() == kContentSha256Size) {
        record.flags = kHasDigest;
        builder.names += digest;
    }
    if (seen) {
        record.flags |= kSeen;
        record.identity = *seen;
    }
    builder.records.push_back(record);
}

void AddUnnamedToIndex(
    IndexBuilder& builder, std::uint32_t at, std::uint32_t length, std::uint32_t crc, const FileIdentity& seen) {
    IndexRecord record;
    record.identity = seen;
    record.crc = crc;
    record.nameOffset = at;
    record.nameLength = length;
    record.flags = kSeen | kUnnamed;
    builder.records.push_back(record);
}

void NameIndexRecords(IndexBuilder& builder, std::basic_string_view<fs::path::value_type> block) {
    std::size_t chars = 0;
    for (const IndexRecord& record : builder.records)
        if (record.flags & kUnnamed) chars += record.nameLength;
    // UTF-8 takes up to 3 bytes for a UTF-16 unit, 1 for a byte of a POSIX name.
    builder.names.reserve(builder.names.size() + chars * (sizeof(fs::path::value_type) == 1 ? 1 : 3));
    for (IndexRecord& record : builder.records) {
        if (!(record.flags & kUnnamed)) continue;
        const fs::path relative(fs::path::string_type(block.substr(record.nameOffset, record.nameLength)));
        const std::string name = IndexName(relative);
        record.nameOffset = static_cast<std::uint32_t>(builder.names.size());
        record.nameLength = static_cast<std::uint32_t>(name.size());
        record.flags &= ~kUnnamed;
        builder.names += name;
    }
}

void DropIndexRecords(IndexBuilder& builder, const std::vector<std::uint32_t>& positions) {
    std::vector<bool> dropped(builder.records.size());
    for (const std::uint32_t position : positions)
        if (position < dropped.size()) dropped[position] = true;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < builder.records.size(); ++i)
        if (!dropped[i]) builder.records[kept++] = builder.records[i];
    builder.records.resize(kept);
}

void IdentifyFiles(IndexBuilder& builder, const fs::path& installDir) {
    std::erase_if(builder.records, [&](IndexRecord& record) {
        if (record.flags & kUnnamed) return true;  // never named: nothing to record it by
        const std::string name = builder.names.substr(record.nameOffset, record.nameLength);
        FileIdentity now;
        if (!ReadFileIdentity(installDir / WideToPath(Utf8ToWide(name)), now)) return true;
        if ((record.flags & kSeen) && !(record.identity == now)) return true;
        record.identity = now;
        record.flags &= ~kSeen;
        return false;
    });
}

namespace {

std::string_view BuilderName(const IndexBuilder& builder, const IndexRecord& record) {
    return std::string_view(builder.names).substr(record.nameOffset, record.nameLength);
}

// Leaves out every record that shares its name or its file with another: a
// package that lists a name twice, or two names that one file system takes
// for one file, leaves nothing that one record could vouch for. In place.
void DropShared(std::vector<IndexRecord>& records, const auto& sameGroup, const auto& before) {
    std::sort(records.begin(), records.end(), before);
    std::size_t kept = 0;
    for (std::size_t i = 0, end = 0; i < records.size(); i = end) {
        for (end = i + 1; end < records.size() && sameGroup(records[i], records[end]);) ++end;
        if (end == i + 1) records[kept++] = records[i];
    }
    records.resize(kept);
}

// Fills `chunk` with the stored form of up to kChunkRecords records from
// `first`, their names placed one after the other from `nameAt` on.
void StoreRecords(const IndexBuilder& builder, std::size_t first, std::uint64_t& nameAt, std::string& chunk) {
    chunk.clear();
    const std::size_t end = std::min(builder.records.size(), first + kChunkRecords);
    for (std::size_t i = first; i < end; ++i) {
        const IndexRecord& record = builder.records[i];
        StoredRecord stored{record};
        stored.fields.nameOffset = static_cast<std::uint32_t>(nameAt);
        stored.fields.flags &= kHasDigest;
        if (stored.fields.flags)
            std::memcpy(
                stored.digest, builder.names.data() + record.nameOffset + record.nameLength, kContentSha256Size);
        chunk.append(reinterpret_cast<const char*>(&stored), kRecordSize);
        nameAt += record.nameLength;
    }
}

void StoreNames(const IndexBuilder& builder, std::size_t first, std::string& chunk) {
    chunk.clear();
    const std::size_t end = std::min(builder.records.size(), first + kChunkRecords);
    for (std::size_t i = first; i < end; ++i) chunk += BuilderName(builder, builder.records[i]);
}

// The records, then the names, kChunkRecords files at a time, each piece
// made as it is asked for.
PieceSource StoredChunks(const IndexBuilder& builder) {
    auto chunk = std::make_shared<std::string>();
    const std::size_t chunks = (builder.records.size() + kChunkRecords - 1) / kChunkRecords;
    return
        [&builder, chunk, chunks, step = std::size_t{0}, nameAt = std::uint64_t{0}](std::string_view& piece) mutable {
            if (step < chunks)
                StoreRecords(builder, step * kChunkRecords, nameAt, *chunk);
            else if (step < 2 * chunks)
                StoreNames(builder, (step - chunks) * kChunkRecords, *chunk);
            else
                return false;
            ++step;
            piece = *chunk;
            return true;
        };
}

}  // namespace

void TidyIndex(IndexBuilder& builder) {
    const auto name = [&](const IndexRecord& r) { return BuilderName(builder, r); };
    const auto file = [](const IndexRecord& r) { return std::pair(r.identity.volume, r.identity.id); };
    DropShared(
        builder.records, [&](const auto& a, const auto& b) { return file(a) == file(b); },
        [&](const auto& a, const auto& b) { return file(a) < file(b); });
    DropShared(
        builder.records, [&](const auto& a, const auto& b) { return name(a) == name(b); },
        [&](const auto& a, const auto& b) { return name(a) < name(b); });
}

std::optional<TrustedContent> TrustedContentOf(
    const IndexBuilder& builder, const fs::path& relative, const FileIdentity& identity) {
    const std::string name = IndexName(relative);
    const auto found = std::lower_bound(builder.records.begin(), builder.records.end(), name,
        [&](const IndexRecord& record, const std::string& wanted) { return BuilderName(builder, record) < wanted; });
    if (found == builder.records.end() || BuilderName(builder, *found) != name || !(found->identity == identity))
        return std::nullopt;
    TrustedContent content{found->crc, {}};
    if (found->flags & kHasDigest)
        content.digest = builder.names.substr(found->nameOffset + found->nameLength, kContentSha256Size);
    return content;
}

PieceSource IndexPieces(IndexBuilder& builder) {
    TidyIndex(builder);
    Header header{};
    std::memcpy(header.magic, kMagic, sizeof kMagic);
    header.version = kVersion;
    header.count = static_cast<std::uint32_t>(builder.records.size());
    for (const IndexRecord& record : builder.records) header.namesSize += record.nameLength;
    // The CRC-32 goes in the header, before the bytes it covers: they are made twice.
    const PieceSource counted = StoredChunks(builder);
    for (std::string_view piece; counted(piece);) header.crc = libdeflate_crc32(header.crc, piece.data(), piece.size());
    auto headerBytes = std::make_shared<std::string>(reinterpret_cast<const char*>(&header), kHeaderSize);
    return [headerBytes, chunks = StoredChunks(builder), headerGiven = false](std::string_view& piece) mutable {
        if (headerGiven) return chunks(piece);
        headerGiven = true;
        piece = *headerBytes;
        return true;
    };
}

bool WriteInstalledIndex(const fs::path& installDir, IndexBuilder& builder) {
    IdentifyFiles(builder, installDir);
    return WriteFileAtomically(installDir / kInstalledIndexName, IndexPieces(builder));
}
