#pragma once
// The records of the ZIP container, read in place from a package file through
// small fixed buffers: the end-of-central-directory record (and its ZIP64
// form), the central directory entries one at a time, and local headers.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

// A package file read at explicit offsets; no read goes past its end.
struct ZipInput {
    std::ifstream stream;
    std::uint64_t size = 0;
    std::uint64_t position = 0;  // where the stream stands, to skip needless seeks
    std::vector<char> buffer;    // the stream's own buffer
};

bool OpenZipInput(const std::filesystem::path& package, ZipInput& input);
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
    std::string name;         // the stored bytes
    std::string unicodeName;  // UTF-8 from an Info-ZIP Unicode path field that matches `name`, else empty
};

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

// Reads the entry's local header, checks that it agrees with the central
// entry (name, method, encryption; CRC and sizes unless they follow the data)
// and gives the offset of the entry's data.
bool ReadLocalHeader(ZipInput& input, const ZipEntry& entry, std::string& scratch, std::uint64_t& dataOffset);
