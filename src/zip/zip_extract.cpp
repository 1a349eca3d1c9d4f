#include "zip/zip_extract.h"

#include <algorithm>
#include <fstream>
#include <functional>
#include <system_error>
#include <vector>

#include "base/durable_files.h"
#include "base/log.h"
#include "base/text.h"
#include "base/work_progress.h"
#include "zip/entry_decoder.h"
#include "zip/zip_directory.h"
#include "zip/zip_format.h"
#include "zip/zip_names.h"
#include "zip/zip_output.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kReadChunk = 128 * 1024;

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

// The fixed working memory of one pass over the entries, whatever the package's size.
struct EntryReader {
    ZipInput input;
    std::vector<unsigned char> chunk = std::vector<unsigned char>(kReadChunk);
    EntryDecoder decoder;
};

// Feeds the entry's bytes from the package file, from its local header up to
// the central directory at most, through the decoder into `write`.
bool DecodeEntry(EntryReader& reader, const ZipEntry& entry, const ZipDirectory& directory, ContentWriter write,
                 std::wstring& why) {
    const std::uint64_t room = directory.offset - entry.localOffset;
    StartEntryDecoder(reader.decoder, entry, room, std::move(write));
    std::uint64_t at = 0;
    while (reader.decoder.stage == DecodeStage::Header || reader.decoder.stage == DecodeStage::Data) {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(reader.chunk.size(), room - at));
        if (piece == 0 || !ReadAt(reader.input, entry.localOffset + at, reader.chunk.data(), piece)) {
            reader.decoder.why = L"its data runs past where the next record begins";
            break;
        }
        std::size_t used = 0;
        FeedEntryDecoder(reader.decoder, reader.chunk.data(), piece, used);
        at += used;
    }
    if (reader.decoder.stage == DecodeStage::Done) return true;
    why = DescribeEntry(entry) + L": " + reader.decoder.why;
    return false;
}

bool WriteEntryFile(EntryReader& reader, const ZipEntry& entry, const ZipDirectory& directory, const fs::path& file,
                    std::wstring& why) {
    // A header that does not match leaves the file as it was.
    std::string header;
    std::uint64_t dataOffset = 0;
    if (!ReadLocalHeader(reader.input, entry, header, dataOffset)) {
        why = DescribeEntry(entry) + L": the local header does not match the directory";
        return false;
    }
    std::ofstream out;
    if (PrepareFileTarget(file)) out.open(file, std::ios::binary | std::ios::trunc);
    if (!out) {
        why = DescribeEntry(entry) + L": " + PathToWide(file) + L" cannot be written";
        return false;
    }
    const bool decoded = DecodeEntry(
        reader, entry, directory,
        [&out](const unsigned char* data, std::size_t size) {
            out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
            return static_cast<bool>(out);
        },
        why);
    out.close();
    if (decoded && !out) why = DescribeEntry(entry) + L": " + PathToWide(file) + L" cannot be written";
    return decoded && out;
}

bool ExtractEntry(EntryReader& reader, const ZipEntry& entry, const EntryPath& path, const ZipDirectory& directory,
                  const fs::path& destination, DirectoryCache& cache, std::vector<fs::path>& written,
                  std::wstring& why) {
    std::size_t parents = path.isDirectory ? path.components.size() : path.components.size() - 1;
    if (!EnsureEntryDirectory(destination, path, parents, cache)) {
        why = DescribeEntry(entry) + L": its folder cannot be made";
        return false;
    }
    if (path.isDirectory) return true;
    fs::path file = cache.path / WideToPath(path.components.back());
    if (!WriteEntryFile(reader, entry, directory, file, why)) return false;
    written.push_back(file);
    if (entry.madeBy >> 8 == kHostUnix) ApplyUnixMode(file, entry.externalAttributes >> 16);
    return true;
}

bool OpenPackage(const fs::path& package, ZipInput& input, ZipDirectory& directory, std::wstring& why) {
    if (!OpenZipInput(package, input)) {
        why = L"the package cannot be opened";
        return false;
    }
    if (FindZipDirectory(input, directory)) return true;
    why = L"no valid central directory";
    return false;
}

bool CheckPackage(const fs::path& package, const std::function<void(const EntryPath&, std::uint64_t)>& visit,
                  std::wstring& why) {
    ZipInput directoryInput;
    ZipDirectory directory;
    EntryReader reader;
    if (!OpenPackage(package, directoryInput, directory, why) || !OpenZipInput(package, reader.input)) return false;
    return ReadZipDirectory(
        directoryInput, directory,
        [&](const ZipEntry& entry, const EntryPath& path) {
            if (path.isDirectory) return true;
            if (!DecodeEntry(
                    reader, entry, directory, [](const unsigned char*, std::size_t) { return true; }, why))
                return false;
            if (visit) visit(path, entry.uncompressedSize);
            return true;
        },
        why);
}

}  // namespace

bool CheckZip(const fs::path& package, const std::function<void(const EntryPath&, std::uint64_t)>& visit) {
    std::wstring why;
    return CheckPackage(package, visit, why);
}

bool ExtractZip(const fs::path& package, const fs::path& destination) {
    LogLine(L"ExtractZip to " + PathToWide(destination));
    std::error_code ec;
    if (!fs::is_directory(destination, ec)) return false;
    ZipInput directoryInput;
    ZipDirectory directory;
    EntryReader reader;
    std::wstring why;
    // First pass: every name and every range, before anything is written.
    bool ok = OpenPackage(package, directoryInput, directory, why) &&
              ReadZipDirectory(
                  directoryInput, directory, [](const ZipEntry&, const EntryPath&) { return true; }, why);
    if (ok && !OpenZipInput(package, reader.input)) {
        ok = false;
        why = L"the package cannot be opened";
    }
    DirectoryCache cache;
    std::uint64_t done = 0;
    std::vector<fs::path> written;
    ok = ok && ReadZipDirectory(
                   directoryInput, directory,
                   [&](const ZipEntry& entry, const EntryPath& path) {
                       ReportWork(done++, directory.entryCount);
                       return ExtractEntry(reader, entry, path, directory, destination, cache, written, why);
                   },
                   why);
    if (!ok) LogLine(PathToWide(package.filename()) + L" refused: " + why);
    return ok && FlushFilesToDisk(written);
}
