#pragma once
// The records of the ZIP container, read in place through small fixed buffers
// from a package file or from a package's tail held in memory: the
// end-of-central-directory record (and its ZIP64 form), the central directory
// entries one at a time, and local headers.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

// A package read at explicit offsets; no read goes past its end. The bytes
// come from the file, or from `held` when only the package's tail is at hand.
struct ZipInput {
    std::ifstream stream;
    std::uint64_t size = 0;
    std::uint64_t position = 0;  // where the stream stands, to skip needless seeks
    std::vector<char> buffer;    // the stream's own buffer
    bool inMemory = false;
    std::string held;  // bytes [heldFrom, size) of the package
    std::uint64_t heldFrom = 0;
};

// The buffer suits the central directory, read front to back. Local headers
// read one per entry, far apart, take a small one: each seek refills it.
constexpr std::size_t kDirectoryBufferSize = 64 * 1024;
constexpr std::size_t kHeaderBufferSize = 4 * 1024;
bool OpenZipInput(const std::filesystem::path& package, ZipInput& input, std::size_t bufferSize = kDirectoryBufferSize);
// The package of `size` bytes whose tail from `from` is `tail`; reads before it fail.
void HoldZipTail(ZipInput& input, std::uint64_t size, std::uint64_t from, std::string tail);
// Reads exactly `count` bytes at `offset`; false when the file has fewer.
bool ReadAt(ZipInput& input, std::uint64_t offset, void* data, std::size_t count);

// Where the central directory lies, checked against the file size.
struct ZipDirectory {
    std::uint64_t entryCount = 0;
    std::uint64_t offset = 0;  // first central entry; all entry data lies before it
    std::uint64_t size = 0;
};

bool FindZipDirectory(ZipInput& input, ZipDirectory& directory);

// One central directory entry, its ZIP64 fields already applied.
struct ZipEntry {
    std::uint16_t madeBy = 0;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint32_t crc = 0;
    std::uint32_t externalAttributes = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t uncompressedSize = 0;
    std::uint64_t localOffset = 0;
    std::string name;           // the stored bytes
    std::string unicodeName;    // UTF-8 from an Info-ZIP Unicode path field that matches `name`, else empty
    std::string contentSha256;  // the 32 bytes of a content digest field, else empty
};

// The central-directory extra field that carries the SHA-256 of an entry's
// content (as stored on disk after inflating): 32 bytes, no other data.
constexpr std::uint16_t kContentSha256ExtraId = 0x4853;  // "SH"
constexpr std::size_t kContentSha256Size = 32;

constexpr std::uint16_t kFlagEncrypted = 0x0001;
constexpr std::uint16_t kFlagDataDescriptor = 0x0008;
constexpr std::uint16_t kFlagStrongEncryption = 0x0040;
constexpr std::uint16_t kFlagUtf8Name = 0x0800;
constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflated = 8;
constexpr std::uint8_t kHostUnix = 3;

// Reads the central entry at `offset`, which with its name, extra field and
// comment must end by `limit`; `next` receives the offset after it.
bool ReadCentralEntry(ZipInput& input, std::uint64_t offset, std::uint64_t limit, ZipEntry& entry, std::uint64_t& next);

// A central entry's fixed part; its name, extra field and comment follow it.
constexpr std::size_t kCentralHeaderFixedSize = 46;
// The length of the whole central entry that starts with these 46 bytes; 0
// when they are no central entry.
std::size_t CentralEntryLength(const unsigned char* fixed);

// The most bytes a single end-of-central-directory search reads: the record
// and the longest comment.
constexpr std::size_t kEndSearchSize = 22 + 0xFFFF;

// A local header's fixed part; its name and extra field follow it.
constexpr std::size_t kLocalHeaderFixedSize = 30;
// The length of the whole local header (fixed part, name, extra field) that
// starts with these 30 bytes; 0 when they are no local header.
std::size_t LocalHeaderLength(const unsigned char* fixed);
// Checks a whole local header against the central entry (name, method,
// encryption; CRC and sizes unless they follow the data).
bool LocalHeaderMatches(const std::string& header, const ZipEntry& entry);

// The entry as a whole local header describes it (no Unix mode, no offset),
// for a package read as it arrives; false when the header is damaged or its
// sizes and CRC-32 follow the data.
bool ReadLocalEntry(const std::string& header, ZipEntry& entry);

// Reads the entry's local header, checks it as LocalHeaderMatches does and
// gives the offset of the entry's data.
bool ReadLocalHeader(ZipInput& input, const ZipEntry& entry, std::string& scratch, std::uint64_t& dataOffset);
