#include "zip/zip_extract.h"

#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <system_error>
#include <vector>

#include "base/durable_files.h"
#include "base/log.h"
#include "base/text.h"
#include "base/work_progress.h"
#include "zip/zip_format.h"
#include "zip/zip_names.h"
#include "zip/zip_output.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kReadChunk = 128 * 1024;
constexpr std::size_t kWriteChunk = 256 * 1024;

// The fixed working memory of one extraction, whatever the package's size.
struct Buffers {
    std::vector<unsigned char> in = std::vector<unsigned char>(kReadChunk);
    std::vector<unsigned char> out = std::vector<unsigned char>(kWriteChunk);
    std::string scratch;
};

// The directory the previous entry went to: packages list a folder's files
// together, so most entries need no file-system check for their parents.
struct DirectoryCache {
    std::vector<std::wstring> components;
    fs::path path;
    bool valid = false;
};

// Makes the entry's first `count` components exist as directories below the
// destination and leaves that directory in cache.path.
bool EnsureEntryDirectory(const fs::path& destination, const EntryPath& entry, std::size_t count,
                          DirectoryCache& cache) {
    bool same = cache.valid && cache.components.size() == count &&
                std::equal(cache.components.begin(), cache.components.end(), entry.components.begin());
    if (same) return true;
    cache.valid = MakeEntryDirectory(destination, entry.components, count, cache.path);
    cache.components.assign(entry.components.begin(), entry.components.begin() + static_cast<std::ptrdiff_t>(count));
    return cache.valid;
}

bool IsSupported(const ZipEntry& entry) {
    if (entry.flags & (kFlagEncrypted | kFlagStrongEncryption)) return false;
    return entry.method == kMethodStored || entry.method == kMethodDeflated;
}

bool DecodeEntryPath(const ZipEntry& entry, EntryPath& path) {
    std::wstring name = entry.unicodeName.empty() ? DecodeEntryName(entry.name, entry.flags & kFlagUtf8Name)
                                                  : Utf8ToWide(entry.unicodeName);
    return SplitEntryName(name, path);
}

// What can be checked from the central entry alone, so that a bad package
// usually fails before anything is written.
bool CheckEntry(const ZipEntry& entry, const ZipDirectory& directory) {
    if (!IsSupported(entry)) return false;
    if (entry.localOffset > directory.offset) return false;
    if (entry.compressedSize > directory.offset - entry.localOffset) return false;
    if (entry.method == kMethodStored && entry.compressedSize != entry.uncompressedSize) return false;
    EntryPath path;
    return DecodeEntryPath(entry, path);
}

// Walks the central directory entry by entry; visit(entry) returns false to stop.
template <typename Visit>
bool ForEachEntry(ZipInput& input, const ZipDirectory& directory, Visit visit) {
    std::uint64_t offset = directory.offset;
    std::uint64_t limit = directory.offset + directory.size;
    ZipEntry entry;
    for (std::uint64_t i = 0; i < directory.entryCount; ++i) {
        if (!ReadCentralEntry(input, offset, limit, entry, offset)) return false;
        if (!visit(entry)) return false;
    }
    return offset == limit;
}

struct InflateStream {
    z_stream stream{};
    bool ready = false;
    InflateStream() { ready = inflateInit2(&stream, -MAX_WBITS) == Z_OK; }
    ~InflateStream() {
        if (ready) inflateEnd(&stream);
    }
    InflateStream(const InflateStream&) = delete;
    InflateStream& operator=(const InflateStream&) = delete;
};

// Writes a piece of the entry's content (to no file when only checking),
// keeping its running CRC and size; false once the content grows past the
// declared size.
struct ContentSink {
    std::ofstream* file;
    std::uint64_t expected;
    std::uint64_t written = 0;
    uLong crc = crc32(0L, Z_NULL, 0);

    bool Put(const unsigned char* data, std::size_t size) {
        if (size > expected - written) return false;
        written += size;
        crc = crc32(crc, data, static_cast<uInt>(size));
        if (file == nullptr) return true;
        file->write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        return static_cast<bool>(*file);
    }
};

bool CopyStored(ZipInput& input, std::uint64_t offset, std::uint64_t size, ContentSink& sink, Buffers& buffers) {
    while (size > 0) {
        std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(size, buffers.out.size()));
        if (!ReadAt(input, offset, buffers.out.data(), chunk) || !sink.Put(buffers.out.data(), chunk)) return false;
        offset += chunk;
        size -= chunk;
    }
    return true;
}

// The stream must end exactly where the compressed data ends.
bool Inflate(ZipInput& input, std::uint64_t offset, std::uint64_t size, ContentSink& sink, Buffers& buffers) {
    InflateStream inflater;
    if (!inflater.ready) return false;
    z_stream& z = inflater.stream;
    int status = Z_OK;
    while (status != Z_STREAM_END) {
        if (z.avail_in == 0) {
            if (size == 0) return false;
            std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(size, buffers.in.size()));
            if (!ReadAt(input, offset, buffers.in.data(), chunk)) return false;
            offset += chunk;
            size -= chunk;
            z.next_in = buffers.in.data();
            z.avail_in = static_cast<uInt>(chunk);
        }
        z.next_out = buffers.out.data();
        z.avail_out = static_cast<uInt>(buffers.out.size());
        status = inflate(&z, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END) return false;
        if (!sink.Put(buffers.out.data(), buffers.out.size() - z.avail_out)) return false;
    }
    return size == 0 && z.avail_in == 0;
}

// `dataLimit` is where the central directory starts: no entry's data may reach into it.
bool LocateEntryData(ZipInput& input, const ZipEntry& entry, std::uint64_t dataLimit, Buffers& buffers,
                     std::uint64_t& dataOffset) {
    if (!ReadLocalHeader(input, entry, buffers.scratch, dataOffset)) return false;
    return dataOffset <= dataLimit && entry.compressedSize <= dataLimit - dataOffset;
}

// Passes the entry's content to the sink; true when it has the declared size and CRC.
bool CopyEntryData(ZipInput& input, const ZipEntry& entry, std::uint64_t dataOffset, ContentSink& sink,
                   Buffers& buffers) {
    bool copied = entry.method == kMethodStored ? CopyStored(input, dataOffset, entry.compressedSize, sink, buffers)
                                                : Inflate(input, dataOffset, entry.compressedSize, sink, buffers);
    return copied && sink.written == entry.uncompressedSize && sink.crc == entry.crc;
}

bool WriteEntryFile(ZipInput& input, const ZipEntry& entry, std::uint64_t dataLimit, const fs::path& file,
                    Buffers& buffers) {
    std::uint64_t dataOffset = 0;
    if (!LocateEntryData(input, entry, dataLimit, buffers, dataOffset) || !PrepareFileTarget(file)) return false;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    ContentSink sink{&out, entry.uncompressedSize};
    bool copied = CopyEntryData(input, entry, dataOffset, sink, buffers);
    out.close();
    return copied && out;
}

bool ExtractEntry(ZipInput& input, const ZipEntry& entry, const ZipDirectory& directory, const fs::path& destination,
                  Buffers& buffers, DirectoryCache& cache, std::vector<fs::path>& written) {
    EntryPath path;
    if (!CheckEntry(entry, directory) || !DecodeEntryPath(entry, path)) return false;
    std::size_t parents = path.isDirectory ? path.components.size() : path.components.size() - 1;
    if (!EnsureEntryDirectory(destination, path, parents, cache)) return false;
    if (path.isDirectory) return true;
    fs::path file = cache.path / WideToPath(path.components.back());
    if (!WriteEntryFile(input, entry, directory.offset, file, buffers)) return false;
    written.push_back(file);
    StartWritingToDisk(file);
    if (entry.madeBy >> 8 == kHostUnix) ApplyUnixMode(file, entry.externalAttributes >> 16);
    return true;
}

}  // namespace

bool CheckZip(const fs::path& package, const std::function<void(const EntryPath&, std::uint64_t)>& visit) {
    ZipInput directoryInput;
    ZipInput dataInput;
    ZipDirectory directory;
    if (!OpenZipInput(package, directoryInput) || !OpenZipInput(package, dataInput) ||
        !FindZipDirectory(directoryInput, directory))
        return false;
    Buffers buffers;
    return ForEachEntry(directoryInput, directory, [&](const ZipEntry& entry) {
        EntryPath path;
        std::uint64_t dataOffset = 0;
        if (!CheckEntry(entry, directory) || !DecodeEntryPath(entry, path)) return false;
        if (path.isDirectory) return true;
        ContentSink sink{nullptr, entry.uncompressedSize};
        if (!LocateEntryData(dataInput, entry, directory.offset, buffers, dataOffset) ||
            !CopyEntryData(dataInput, entry, dataOffset, sink, buffers))
            return false;
        if (visit) visit(path, entry.uncompressedSize);
        return true;
    });
}

bool ExtractZip(const fs::path& package, const fs::path& destination) {
    LogLine(L"ExtractZip to " + PathToWide(destination));
    std::error_code ec;
    if (!fs::is_directory(destination, ec)) return false;
    ZipInput directoryInput;
    ZipDirectory directory;
    if (!OpenZipInput(package, directoryInput) || !FindZipDirectory(directoryInput, directory)) return false;
    // First pass: every name and every range, before anything is written.
    if (!ForEachEntry(directoryInput, directory, [&](const ZipEntry& entry) { return CheckEntry(entry, directory); }))
        return false;
    ZipInput dataInput;
    if (!OpenZipInput(package, dataInput)) return false;
    Buffers buffers;
    DirectoryCache cache;
    std::uint64_t done = 0;
    std::vector<fs::path> written;
    const bool extracted = ForEachEntry(directoryInput, directory, [&](const ZipEntry& entry) {
        ReportWork(done++, directory.entryCount);
        return ExtractEntry(dataInput, entry, directory, destination, buffers, cache, written);
    });
    return extracted && FlushFilesToDisk(written);
}
