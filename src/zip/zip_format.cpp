#include "zip/zip_format.h"
#include "base/long_path.h"

#include <libdeflate.h>

#include <algorithm>
#include <array>

namespace {

constexpr std::uint32_t kLocalSignature = 0x04034b50;
constexpr std::uint32_t kCentralSignature = 0x02014b50;
constexpr std::uint32_t kEndSignature = 0x06054b50;
constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr std::size_t kLocalHeaderSize = kLocalHeaderFixedSize;
constexpr std::size_t kCentralHeaderSize = kCentralHeaderFixedSize;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kZip64EndSize = 56;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::uint16_t kZip64ExtraId = 0x0001;
constexpr std::uint16_t kUnicodePathExtraId = 0x7075;
constexpr std::uint32_t kSaturated32 = 0xFFFFFFFF;
constexpr std::uint16_t kSaturated16 = 0xFFFF;

std::uint16_t Get16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

std::uint32_t Get32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint64_t Get64(const unsigned char* p) { return Get32(p) | (static_cast<std::uint64_t>(Get32(p + 4)) << 32); }

// Reads as much as the stream gives; the caller decides what a short read means.
std::size_t ReadSome(ZipInput& input, std::uint64_t offset, void* data, std::size_t count) {
    if (offset != input.position) {
        input.stream.clear();
        input.stream.seekg(static_cast<std::streamoff>(offset));
        if (!input.stream) return 0;
        input.position = offset;
    }
    input.stream.read(static_cast<char*>(data), static_cast<std::streamsize>(count));
    auto got = static_cast<std::size_t>(input.stream.gcount());
    input.position += got;
    return got;
}

// The ZIP64 extra field holds, in this order, only the values whose 32- or
// 16-bit fields are saturated.
struct Zip64Fields {
    std::uint64_t* uncompressed = nullptr;
    std::uint64_t* compressed = nullptr;
    std::uint64_t* offset = nullptr;
    std::uint32_t* disk = nullptr;
};

bool ApplyZip64Extra(const unsigned char* data, std::size_t size, const Zip64Fields& fields) {
    std::size_t at = 0;
    for (std::uint64_t* value : {fields.uncompressed, fields.compressed, fields.offset}) {
        if (value == nullptr) continue;
        if (size - at < 8) return false;
        *value = Get64(data + at);
        at += 8;
    }
    if (fields.disk != nullptr) {
        if (size - at < 4) return false;
        *fields.disk = Get32(data + at);
    }
    return true;
}

// Calls visit(id, data, size) for each field; false when a field runs past the end.
template <typename Visit>
bool ForEachExtraField(const std::string& extra, Visit visit) {
    const auto* data = reinterpret_cast<const unsigned char*>(extra.data());
    std::size_t at = 0;
    while (extra.size() - at >= 4) {
        std::uint16_t id = Get16(data + at);
        std::size_t size = Get16(data + at + 2);
        if (extra.size() - at - 4 < size) return false;
        if (!visit(id, data + at + 4, size)) return false;
        at += 4 + size;
    }
    return true;
}

// Info-ZIP's Unicode path field: version 1, the CRC-32 of the stored name it
// stands for, then the name in UTF-8. A field for another name is ignored.
void ReadUnicodePath(const unsigned char* data, std::size_t size, ZipEntry& entry) {
    if (size < 5 || data[0] != 1) return;
    const std::uint32_t nameCrc = libdeflate_crc32(0, entry.name.data(), entry.name.size());
    if (Get32(data + 1) != nameCrc) return;
    entry.unicodeName.assign(reinterpret_cast<const char*>(data + 5), size - 5);
}

bool ReadVariable(ZipInput& input, std::uint64_t offset, std::size_t size, std::string& out) {
    out.resize(size);
    return size == 0 || ReadAt(input, offset, out.data(), size);
}

bool ReadZip64End(ZipInput& input, std::uint64_t endOffset, ZipDirectory& directory, std::uint64_t& directoryEnd) {
    std::array<unsigned char, kZip64LocatorSize> locator{};
    if (endOffset < kZip64LocatorSize || !ReadAt(input, endOffset - kZip64LocatorSize, locator.data(), locator.size()))
        return false;
    if (Get32(locator.data()) != kZip64LocatorSignature) return false;
    std::uint64_t recordOffset = Get64(locator.data() + 8);
    std::array<unsigned char, kZip64EndSize> record{};
    if (recordOffset > endOffset - kZip64LocatorSize - kZip64EndSize) return false;
    if (!ReadAt(input, recordOffset, record.data(), record.size())) return false;
    if (Get32(record.data()) != kZip64EndSignature) return false;
    if (Get32(record.data() + 16) != 0 || Get32(record.data() + 20) != 0) return false;  // split packages
    directory.entryCount = Get64(record.data() + 32);
    directory.size = Get64(record.data() + 40);
    directory.offset = Get64(record.data() + 48);
    directoryEnd = recordOffset;
    return true;
}

// Searches the last 64 KiB + 22 bytes backwards for the end record whose
// comment reaches exactly to the end of the file.
bool FindEndRecord(ZipInput& input, std::uint64_t& endOffset, std::array<unsigned char, kEndSize>& record) {
    std::size_t tail = static_cast<std::size_t>(std::min<std::uint64_t>(input.size, kEndSearchSize));
    if (tail < kEndSize) return false;
    std::vector<unsigned char> bytes(tail);
    if (!ReadAt(input, input.size - tail, bytes.data(), tail)) return false;
    for (std::size_t at = tail - kEndSize + 1; at-- > 0;) {
        if (Get32(bytes.data() + at) != kEndSignature) continue;
        if (at + kEndSize + Get16(bytes.data() + at + 20) != tail) continue;
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), kEndSize, record.begin());
        endOffset = input.size - tail + at;
        return true;
    }
    return false;
}

}  // namespace

bool OpenZipInput(const std::filesystem::path& package, ZipInput& input, std::size_t bufferSize) {
    input.buffer.resize(bufferSize);
    input.stream.rdbuf()->pubsetbuf(input.buffer.data(), static_cast<std::streamsize>(input.buffer.size()));
    input.stream.open(LongPath(package), std::ios::binary);
    if (!input.stream) return false;
    input.stream.seekg(0, std::ios::end);
    std::streamoff end = input.stream.tellg();
    if (!input.stream || end < 0) return false;
    input.size = static_cast<std::uint64_t>(end);
    input.position = input.size;
    return true;
}

void HoldZipTail(ZipInput& input, std::uint64_t size, std::uint64_t from, std::string tail) {
    input.inMemory = true;
    input.size = size;
    input.heldFrom = from;
    input.held = std::move(tail);
}

bool ReadAt(ZipInput& input, std::uint64_t offset, void* data, std::size_t count) {
    if (offset > input.size || count > input.size - offset) return false;
    if (!input.inMemory) return ReadSome(input, offset, data, count) == count;
    if (offset < input.heldFrom || offset - input.heldFrom + count > input.held.size()) return false;
    std::copy_n(input.held.data() + (offset - input.heldFrom), count, static_cast<char*>(data));
    return true;
}

bool FindZipDirectory(ZipInput& input, ZipDirectory& directory) {
    std::uint64_t endOffset = 0;
    std::array<unsigned char, kEndSize> record{};
    if (!FindEndRecord(input, endOffset, record)) return false;
    std::uint64_t directoryEnd = endOffset;
    if (!ReadZip64End(input, endOffset, directory, directoryEnd)) {
        if (Get16(record.data() + 4) != 0 || Get16(record.data() + 6) != 0) return false;  // split packages
        directory.entryCount = Get16(record.data() + 10);
        directory.size = Get32(record.data() + 12);
        directory.offset = Get32(record.data() + 16);
    }
    // The directory sits between the entries' data and the end records, and
    // every entry takes at least a fixed-size header in it.
    if (directory.offset > directoryEnd || directory.size != directoryEnd - directory.offset) return false;
    return directory.entryCount <= directory.size / kCentralHeaderSize;
}

bool ReadCentralEntry(
    ZipInput& input, std::uint64_t offset, std::uint64_t limit, ZipEntry& entry, std::uint64_t& next) {
    std::array<unsigned char, kCentralHeaderSize> header{};
    if (offset > limit || limit - offset < kCentralHeaderSize) return false;
    if (!ReadAt(input, offset, header.data(), header.size())) return false;
    if (Get32(header.data()) != kCentralSignature) return false;
    std::size_t nameSize = Get16(header.data() + 28);
    std::size_t extraSize = Get16(header.data() + 30);
    std::size_t commentSize = Get16(header.data() + 32);
    std::uint64_t total = kCentralHeaderSize + nameSize + extraSize + commentSize;
    if (limit - offset < total) return false;

    entry.madeBy = Get16(header.data() + 4);
    entry.flags = Get16(header.data() + 8);
    entry.method = Get16(header.data() + 10);
    entry.crc = Get32(header.data() + 16);
    entry.compressedSize = Get32(header.data() + 20);
    entry.uncompressedSize = Get32(header.data() + 24);
    std::uint32_t disk = Get16(header.data() + 34);
    entry.externalAttributes = Get32(header.data() + 38);
    entry.localOffset = Get32(header.data() + 42);
    entry.unicodeName.clear();
    entry.contentSha256.clear();

    std::string extra;
    if (!ReadVariable(input, offset + kCentralHeaderSize, nameSize, entry.name)) return false;
    if (!ReadVariable(input, offset + kCentralHeaderSize + nameSize, extraSize, extra)) return false;

    Zip64Fields wanted;
    if (entry.uncompressedSize == kSaturated32) wanted.uncompressed = &entry.uncompressedSize;
    if (entry.compressedSize == kSaturated32) wanted.compressed = &entry.compressedSize;
    if (entry.localOffset == kSaturated32) wanted.offset = &entry.localOffset;
    if (disk == kSaturated16) wanted.disk = &disk;
    bool hasZip64 = false;
    bool fieldsOk = ForEachExtraField(extra, [&](std::uint16_t id, const unsigned char* data, std::size_t size) {
        if (id == kZip64ExtraId) {
            hasZip64 = true;
            return ApplyZip64Extra(data, size, wanted);
        }
        if (id == kUnicodePathExtraId) ReadUnicodePath(data, size, entry);
        if (id == kContentSha256ExtraId && size == kContentSha256Size)
            entry.contentSha256.assign(reinterpret_cast<const char*>(data), size);
        return true;
    });
    if (!fieldsOk || disk != 0) return false;
    bool needsZip64 = wanted.uncompressed || wanted.compressed || wanted.offset || wanted.disk;
    if (needsZip64 && !hasZip64) return false;
    next = offset + total;
    return true;
}

std::size_t CentralEntryLength(const unsigned char* fixed) {
    if (Get32(fixed) != kCentralSignature) return 0;
    return kCentralHeaderSize + Get16(fixed + 28) + Get16(fixed + 30) + Get16(fixed + 32);
}

std::size_t LocalHeaderLength(const unsigned char* fixed) {
    if (Get32(fixed) != kLocalSignature) return 0;
    return kLocalHeaderSize + Get16(fixed + 26) + Get16(fixed + 28);
}

namespace {

// The sizes a local header carries, from its ZIP64 field when they are saturated.
bool ReadLocalSizes(
    const std::string& header, std::size_t nameSize, std::uint64_t& compressed, std::uint64_t& uncompressed) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(header.data());
    compressed = Get32(bytes + 18);
    uncompressed = Get32(bytes + 22);
    if (compressed != kSaturated32 && uncompressed != kSaturated32) return true;
    // A local ZIP64 field carries both sizes.
    Zip64Fields both{&uncompressed, &compressed, nullptr, nullptr};
    bool found = false;
    bool fieldsOk = ForEachExtraField(
        header.substr(kLocalHeaderSize + nameSize), [&](std::uint16_t id, const unsigned char* data, std::size_t size) {
            if (id != kZip64ExtraId) return true;
            found = true;
            return ApplyZip64Extra(data, size, both);
        });
    return fieldsOk && found;
}

}  // namespace

bool LocalHeaderMatches(const std::string& header, const ZipEntry& entry) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(header.data());
    if (header.size() < kLocalHeaderSize || LocalHeaderLength(bytes) != header.size()) return false;
    std::uint16_t flags = Get16(bytes + 6);
    if (Get16(bytes + 8) != entry.method || (flags & kFlagEncrypted) != (entry.flags & kFlagEncrypted)) return false;
    std::size_t nameSize = Get16(bytes + 26);
    if (header.compare(kLocalHeaderSize, nameSize, entry.name) != 0 || nameSize != entry.name.size()) return false;
    if (flags & kFlagDataDescriptor) return true;
    std::uint64_t compressed = 0, uncompressed = 0;
    return ReadLocalSizes(header, nameSize, compressed, uncompressed) && Get32(bytes + 14) == entry.crc &&
           compressed == entry.compressedSize && uncompressed == entry.uncompressedSize;
}

bool ReadLocalEntry(const std::string& header, ZipEntry& entry) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(header.data());
    if (header.size() < kLocalHeaderSize || LocalHeaderLength(bytes) != header.size()) return false;
    entry = ZipEntry{};
    entry.flags = Get16(bytes + 6);
    entry.method = Get16(bytes + 8);
    entry.crc = Get32(bytes + 14);
    const std::size_t nameSize = Get16(bytes + 26);
    entry.name = header.substr(kLocalHeaderSize, nameSize);
    if (entry.flags & kFlagDataDescriptor) return false;
    return ReadLocalSizes(header, nameSize, entry.compressedSize, entry.uncompressedSize);
}

bool ReadLocalHeader(ZipInput& input, const ZipEntry& entry, std::string& scratch, std::uint64_t& dataOffset) {
    std::array<unsigned char, kLocalHeaderSize> fixed{};
    if (!ReadAt(input, entry.localOffset, fixed.data(), fixed.size())) return false;
    const std::size_t length = LocalHeaderLength(fixed.data());
    if (length == 0 || !ReadVariable(input, entry.localOffset, length, scratch)) return false;
    if (!LocalHeaderMatches(scratch, entry)) return false;
    dataOffset = entry.localOffset + length;
    return true;
}
