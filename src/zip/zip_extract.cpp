#include "zip/zip_extract.h"

#include <algorithm>
#include <fstream>
#include <functional>
#include <system_error>
#include <vector>

#include "base/durable_files.h"
#include "base/file_system.h"
#include "base/log.h"
#include "base/long_path.h"
#include "base/text.h"
#include "base/work_progress.h"
#include "zip/entry_pool.h"
#include "zip/zip_directory.h"
#include "zip/zip_format.h"
#include "zip/zip_names.h"
#include "zip/zip_output.h"

namespace fs = std::filesystem;

namespace {

// The directory the previous entry went to: packages list a folder's files
// together, so most entries need no file-system check for their parents.
struct DirectoryCache {
    std::vector<std::wstring> components;
    fs::path path;
    bool valid = false;
};

// Makes the entry's first `count` components exist as directories below the
// destination and leaves that directory in cache.path.
bool EnsureEntryDirectory(
    const fs::path& destination, const EntryPath& entry, std::size_t count, DirectoryCache& cache) {
    bool same = cache.valid && cache.components.size() == count &&
                std::equal(cache.components.begin(), cache.components.end(), entry.components.begin());
    if (same) return true;
    cache.valid = MakeEntryDirectory(destination, entry.components, count, cache.path);
    cache.components.assign(entry.components.begin(), entry.components.begin() + static_cast<std::ptrdiff_t>(count));
    return cache.valid;
}

// What one pass of extraction holds besides the threads: every name is made
// (folders, opened files) here in directory order, so that what the file
// system sees is what a single pass would do; only the content is written on
// the pool's threads.
struct Extraction {
    ZipInput input;  // for the local headers
    std::string header;
    DirectoryCache cache;
};

// Opens the entry's file, after a look at its local header: a header that
// does not match leaves the file as it was.
bool OpenEntryFile(Extraction& extraction, EntryJob& job, std::wstring& why) {
    std::uint64_t dataOffset = 0;
    if (!ReadLocalHeader(extraction.input, job.entry, extraction.header, dataOffset)) {
        why = DescribeEntry(job.entry) + L": the local header does not match the directory";
        return false;
    }
    if (PrepareFileTarget(job.file)) job.out.open(LongPath(job.file), std::ios::binary | std::ios::trunc);
    if (job.out) return true;
    why = DescribeEntry(job.entry) + L": " + PathToWide(job.file) + L" cannot be written";
    return false;
}

bool ExtractEntry(Extraction& extraction, EntryPool& pool, EntryJob job, const EntryPath& path,
    const fs::path& destination, std::wstring& why) {
    std::size_t parents = path.isDirectory ? path.components.size() : path.components.size() - 1;
    if (!EnsureEntryDirectory(destination, path, parents, extraction.cache)) {
        why = DescribeEntry(job.entry) + L": its folder cannot be made";
        return false;
    }
    if (path.isDirectory) return true;
    job.file = extraction.cache.path / WideToPath(path.components.back());
    if (!WaitForEntryName(pool, job) || !OpenEntryFile(extraction, job, why)) return false;
    return SubmitEntry(pool, std::move(job));
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

// The pool's first failure comes before any found here, which stopped the submitting.
bool FinishEntries(EntryPool& pool, bool submitted, std::wstring& why) {
    std::wstring poolWhy;
    if (FinishEntryPool(pool, poolWhy)) return submitted;
    why = poolWhy;
    return false;
}

// Empty when the central entry is the one unpacked at streamed.offsets[index], under the same path.
std::wstring StreamedMismatch(
    ZipInput& input, const ZipEntry& entry, std::uint64_t index, const StreamedEntries& streamed, std::string& header) {
    if (index >= streamed.offsets.size()) return DescribeEntry(entry) + L" was not unpacked";
    if (streamed.offsets[index] != entry.localOffset) return DescribeEntry(entry) + L" was unpacked elsewhere";
    ZipEntry local;
    std::uint64_t dataOffset = 0;
    if (!ReadLocalHeader(input, entry, header, dataOffset) || !ReadLocalEntry(header, local))
        return DescribeEntry(entry) + L": the local header does not match the directory";
    // The local header named the file: the directory must name it alike.
    if (!entry.unicodeName.empty() || (entry.flags & kFlagUtf8Name) != (local.flags & kFlagUtf8Name))
        return DescribeEntry(entry) + L": its name is given otherwise in the directory";
    return {};
}

bool CheckPackage(
    const fs::path& package, const std::function<void(const EntryPath&, std::uint64_t)>& visit, std::wstring& why) {
    ZipInput directoryInput;
    ZipDirectory directory;
    if (!OpenPackage(package, directoryInput, directory, why)) return false;
    EntryPool pool;
    StartEntryPool(pool, package, directory, EntryThreadCount());
    std::uint64_t index = 0;
    const bool submitted = ReadZipDirectory(
        directoryInput, directory,
        [&](const ZipEntry& entry, const EntryPath& path) {
            if (path.isDirectory) return true;
            EntryJob job;
            job.index = index++;
            job.entry = entry;
            if (!SubmitEntry(pool, std::move(job))) return false;
            if (visit) visit(path, entry.uncompressedSize);
            return true;
        },
        why);
    return FinishEntries(pool, submitted, why);
}

}  // namespace

bool CheckZip(const fs::path& package, const std::function<void(const EntryPath&, std::uint64_t)>& visit) {
    std::wstring why;
    return CheckPackage(package, visit, why);
}

bool ExtractZip(const fs::path& package, const fs::path& destination, const AlreadyInstalled& installed) {
    LogLine(L"ExtractZip to " + PathToWide(destination));
    std::error_code ec;
    if (!fs::is_directory(TargetStatus(destination, ec))) return false;
    ZipInput directoryInput;
    ZipDirectory directory;
    Extraction extraction;
    std::wstring why;
    // First pass: every name and every range, before anything is written.
    bool ok = OpenPackage(package, directoryInput, directory, why) &&
              ReadZipDirectory(
                  directoryInput, directory, [](const ZipEntry&, const EntryPath&) { return true; }, why);
    if (ok && !OpenZipInput(package, extraction.input, kHeaderBufferSize)) {
        ok = false;
        why = L"the package cannot be opened";
    }
    if (ok) {
        EntryPool pool;
        StartEntryPool(pool, package, directory, EntryThreadCount());
        std::uint64_t done = 0;
        const bool submitted = ReadZipDirectory(
            directoryInput, directory,
            [&](const ZipEntry& entry, const EntryPath& path) {
                ReportWork(done, directory.entryCount);
                EntryJob job;
                job.index = done++;
                job.entry = entry;
                if (LeavesInPlace(installed, entry, path, destination)) return true;
                return ExtractEntry(extraction, pool, std::move(job), path, destination, why);
            },
            why);
        ok = FinishEntries(pool, submitted, why);
    }
    if (!ok) LogLine(PathToWide(package.filename()) + L" refused: " + why);
    return ok && FlushFilesToDisk(destination);
}

bool AdoptStreamedZip(const fs::path& package, const fs::path& destination, const StreamedEntries& streamed) {
    LogLine(L"ExtractZip to " + PathToWide(destination));
    const std::wstring name = PathToWide(package.filename());
    if (!streamed.complete) {
        if (!streamed.why.empty()) LogLine(name + L" was not unpacked while it arrived: " + streamed.why);
        return false;
    }
    // Unpacked by a checked directory, each entry checked against it: the
    // package's digest, now matched, stands for the directory too.
    if (streamed.byDirectory) {
        DropFileContent(package);
        return FlushWrittenFiles(streamed.written);
    }
    ZipInput input;
    ZipInput headers;  // apart from the directory's, so that neither buffer is refilled at each entry
    ZipDirectory directory;
    std::wstring why = L"the package cannot be opened";
    std::string header;
    std::uint64_t index = 0;
    std::size_t left = 0;  // the entries left in place come in the order of the others
    bool agrees = OpenPackage(package, input, directory, why) && OpenZipInput(package, headers, kHeaderBufferSize) &&
                  ReadZipDirectory(
                      input, directory,
                      [&](const ZipEntry& entry, const EntryPath& path) {
                          ReportWork(index, directory.entryCount);
                          why = StreamedMismatch(headers, entry, index++, streamed, header);
                          if (!why.empty() || path.isDirectory) return why.empty();
                          if (left < streamed.leftInPlace.size() && streamed.leftInPlace[left] == entry.localOffset) {
                              ++left;
                              return true;
                          }
                          const fs::path file = destination / RelativePathOf(path);
                          if (entry.madeBy >> 8 == kHostUnix) ApplyUnixMode(file, entry.externalAttributes >> 16);
                          return true;
                      },
                      why);
    if (agrees && index != streamed.offsets.size()) {
        agrees = false;
        why = std::to_wstring(streamed.offsets.size() - index) + L" unpacked entries are not in the directory";
    }
    if (!agrees) {
        LogLine(name + L" as unpacked while it arrived does not match its directory: " + why);
        return false;
    }
    // Everything the package held is unpacked and checked: its own bytes
    // need not reach the disk before it is removed.
    DropFileContent(package);
    return FlushFilesToDisk(destination);
}
