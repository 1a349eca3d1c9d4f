#include "zip/entry_pool.h"

#include <algorithm>
#include <system_error>

#include "base/ascii_case.h"
#include "base/durable_files.h"
#include "base/text.h"
#include "base/thread_priority.h"
#include "zip/entry_decoder.h"
#include "zip/zip_directory.h"
#include "zip/zip_output.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kReadChunk = 128 * 1024;
constexpr unsigned kMaxThreads = 6;
constexpr std::size_t kQueuedPerThread = 2;

// The fixed working memory of one thread, whatever the package's size.
struct EntryReader {
    ZipInput input;
    bool opened = false;
    std::vector<unsigned char> chunk;  // only when reading from the package
    EntryDecoder decoder;
};

// Feeds the entry's bytes from the package file, from its local header up to
// the central directory at most, through the decoder into `write`.
bool DecodeEntry(
    EntryReader& reader, const ZipEntry& entry, const ZipDirectory& directory, ContentWriter write, std::wstring& why) {
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

// Feeds the entry's bytes held in the job through the decoder into `write`.
bool DecodeHeldEntry(EntryReader& reader, const EntryJob& job, ContentWriter write, std::wstring& why) {
    StartEntryDecoder(reader.decoder, job.entry, job.bytes.size(), std::move(write));
    std::size_t used = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(job.bytes.data());
    if (FeedEntryDecoder(reader.decoder, bytes, job.bytes.size(), used) == DecodeStage::Done) return true;
    why = DescribeEntry(job.entry) + L": " +
          (reader.decoder.why.empty() ? L"its data runs past where the next record begins" : reader.decoder.why);
    return false;
}

// Where the decoded content goes: the job's file when it is open, and its check when it has one.
ContentWriter WriterOf(EntryJob& job, const std::atomic<bool>* stop) {
    std::ofstream& out = job.out;
    ContentWriter write = [](const unsigned char*, std::size_t) { return true; };
    if (out.is_open())
        write = [&out, stop](const unsigned char* data, std::size_t size) {
            if (stop && stop->load()) return false;
            out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
            return static_cast<bool>(out);
        };
    if (!job.check.add) return write;
    return [&add = job.check.add, write = std::move(write)](const unsigned char* data, std::size_t size) {
        add(data, size);
        return write(data, size);
    };
}

bool PassesCheck(EntryJob& job, std::wstring& why) {
    if (!job.check.matches || job.check.matches()) return true;
    why = DescribeEntry(job.entry) + L": its content does not match its digest";
    return false;
}

// Decodes the entry into its file, or only checks it when no file is open.
bool RunEntry(EntryReader& reader, const EntryPool& pool, EntryJob& job, std::wstring& why) {
    const ZipDirectory& directory = pool.directory;
    if (!reader.opened && job.bytes.empty()) {
        why = L"the package cannot be opened";
        return false;
    }
    ContentWriter write = WriterOf(job, pool.stop);
    const bool sound = (job.bytes.empty() ? DecodeEntry(reader, job.entry, directory, std::move(write), why)
                                          : DecodeHeldEntry(reader, job, std::move(write), why)) &&
                       PassesCheck(job, why);
    std::ofstream& out = job.out;
    if (!out.is_open()) return sound;
    CloseWritten(out, job.file);
    if (!sound) return false;
    if (!out) {
        why = DescribeEntry(job.entry) + L": " + PathToWide(job.file) + L" cannot be written";
        return false;
    }
    StartWritingToDisk(job.file);
    if (job.entry.madeBy >> 8 == kHostUnix) ApplyUnixMode(job.file, job.entry.externalAttributes >> 16);
    return true;
}

// Names that the file system may take for one file get one key: A to Z
// folded, and every other letter beyond ASCII taken as the same, which at
// worst makes two different files wait for each other.
std::wstring FoldedKey(const fs::path& file) {
    std::wstring key = PathToWide(file);
    for (wchar_t& c : key) c = c < 0x80 ? AsciiToLower(c) : L'\x80';
    return key;
}

// Notes the outcome; only the first failure in directory order is kept.
void Settle(EntryPool& pool, const EntryJob& job, bool ok, std::wstring why) {
    if (!job.key.empty()) pool.inFlight.erase(std::find(pool.inFlight.begin(), pool.inFlight.end(), job.key));
    if (!ok && job.index < pool.failedIndex) {
        pool.failedIndex = job.index;
        pool.why = std::move(why);
    }
    pool.changed.notify_all();
}

void RunThread(EntryPool& pool) {
    if (pool.besideDownload) LowerThisThreadPriority();
    EntryReader reader;
    reader.opened = !pool.package.empty() && OpenZipInput(pool.package, reader.input);
    if (reader.opened) reader.chunk.resize(kReadChunk);
    std::unique_lock lock(pool.mutex);
    for (;;) {
        pool.changed.wait(lock, [&] { return !pool.queue.empty() || pool.closing; });
        if (pool.queue.empty()) return;
        EntryJob job = std::move(pool.queue.front());
        pool.queue.pop_front();
        // Past the first failure the work would be thrown away.
        const bool wanted = job.index < pool.failedIndex;
        ++pool.busy;
        pool.changed.notify_all();
        lock.unlock();
        std::wstring why;
        const bool ok = !wanted || RunEntry(reader, pool, job, why);
        lock.lock();
        --pool.busy;
        Settle(pool, job, ok, std::move(why));
    }
}

}  // namespace

EntryPool::~EntryPool() {
    std::wstring why;
    FinishEntryPool(*this, why);
}

unsigned EntryThreadCount() { return std::clamp(std::thread::hardware_concurrency(), 1u, kMaxThreads); }

void StartEntryPool(EntryPool& pool, const fs::path& package, const ZipDirectory& directory, unsigned threads) {
    pool.package = package;
    pool.directory = directory;
    pool.queueLimit = kQueuedPerThread * threads;
    for (unsigned i = 0; i < threads; ++i) {
        // A thread the system refuses leaves fewer; with none, SubmitEntry does the work.
        try {
            pool.threads.emplace_back(RunThread, std::ref(pool));
        } catch (const std::system_error&) {
            break;
        }
    }
}

bool WaitForEntryName(EntryPool& pool, EntryJob& job) {
    job.key = FoldedKey(job.file);
    std::unique_lock lock(pool.mutex);
    pool.changed.wait(lock, [&] {
        return pool.failedIndex != UINT64_MAX ||
               std::find(pool.inFlight.begin(), pool.inFlight.end(), job.key) == pool.inFlight.end();
    });
    return pool.failedIndex == UINT64_MAX;
}

bool SubmitEntry(EntryPool& pool, EntryJob job) {
    std::unique_lock lock(pool.mutex);
    if (pool.threads.empty()) {
        EntryReader reader;
        reader.opened = !pool.package.empty() && OpenZipInput(pool.package, reader.input);
        if (reader.opened) reader.chunk.resize(kReadChunk);
        std::wstring why;
        const bool ok = RunEntry(reader, pool, job, why);
        job.key.clear();  // never put in flight: Settle has no name to take out
        Settle(pool, job, ok, std::move(why));
        return ok;
    }
    pool.changed.wait(lock, [&] { return pool.failedIndex != UINT64_MAX || pool.queue.size() < pool.queueLimit; });
    if (pool.failedIndex != UINT64_MAX) return false;
    if (!job.key.empty()) pool.inFlight.push_back(job.key);
    pool.queue.push_back(std::move(job));
    pool.changed.notify_all();
    return true;
}

bool FinishEntryPool(EntryPool& pool, std::wstring& why) {
    {
        std::lock_guard lock(pool.mutex);
        pool.closing = true;
    }
    pool.changed.notify_all();
    for (std::thread& thread : pool.threads)
        if (thread.joinable()) thread.join();
    why = pool.why;
    return pool.failedIndex == UINT64_MAX;
}
