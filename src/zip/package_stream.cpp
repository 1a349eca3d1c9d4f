#include "zip/package_stream.h"

#include <fstream>
#include <system_error>

#include "base/durable_files.h"
#include "base/long_path.h"
#include "base/text.h"
#include "base/thread_priority.h"
#include "zip/entry_decoder.h"
#include "zip/entry_pool.h"
#include "zip/zip_directory.h"
#include "zip/zip_format.h"
#include "zip/zip_names.h"
#include "zip/zip_output.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMostBytesInFlight = 2 * 1024 * 1024;
// The bytes fed are handed to the unpacking thread in pieces of about this
// size: one hand-over (and wake-up) for many of the download's small writes.
constexpr std::size_t kPieceSize = 256 * 1024;
const std::string kLocalSignature("PK\x03\x04", 4);

// The unpacking thread's own state: where it is in the package and in the entry.
struct Unpacker {
    EntryPool pool;
    EntryJob held;  // an entry being gathered for the pool
    bool holding = false;
    std::uint64_t heldLeft = 0;
    fs::path destination;
    std::uint64_t at = 0;
    std::uint64_t entryAt = 0;
    std::string header;
    bool inEntry = false;
    bool atDirectory = false;  // past the last local entry: the rest is the directory
    EntryDecoder decoder;
    std::ofstream out;
    fs::path file;
    std::vector<std::uint64_t> offsets;
    std::wstring why;
};

bool Stop(Unpacker& unpacker, std::wstring why) {
    unpacker.why = std::move(why);
    return false;
}

// The entry's file is opened here, in the order of the entries; its bytes go to the pool once all are in.
bool HoldEntry(Unpacker& unpacker, const ZipEntry& entry) {
    EntryJob& job = unpacker.held;
    if (PrepareFileTarget(job.file)) job.out.open(LongPath(job.file), std::ios::binary | std::ios::trunc);
    if (!job.out) return Stop(unpacker, PathToWide(job.file) + L" cannot be written");
    job.index = unpacker.offsets.size();
    job.entry = entry;
    job.bytes = std::move(unpacker.header);
    unpacker.header.clear();
    unpacker.holding = true;
    unpacker.inEntry = true;
    unpacker.heldLeft = entry.compressedSize;
    return true;
}

// Makes the entry's folder (and file) and starts decoding into it.
bool BeginEntry(Unpacker& unpacker) {
    ZipEntry entry;
    if (!ReadLocalEntry(unpacker.header, entry))
        return Stop(unpacker, L"a local header at byte " + std::to_wstring(unpacker.entryAt) +
                                  L" is damaged or its sizes follow its data");
    EntryPath path;
    if ((entry.flags & (kFlagEncrypted | kFlagStrongEncryption)) ||
        (entry.method != kMethodStored && entry.method != kMethodDeflated) || !DecodeEntryPath(entry, path))
        return Stop(unpacker, DescribeEntry(entry) + L": cannot be unpacked from its local header");
    const std::size_t parents = path.isDirectory ? path.components.size() : path.components.size() - 1;
    fs::path folder;
    if (!MakeEntryDirectory(unpacker.destination, path.components, parents, folder))
        return Stop(unpacker, DescribeEntry(entry) + L": its folder cannot be made");
    ContentWriter write = [](const unsigned char*, std::size_t) { return true; };
    if (!path.isDirectory) {
        unpacker.file = folder / WideToPath(path.components.back());
        EntryJob& job = unpacker.held;
        job.file = unpacker.file;
        if (!WaitForEntryName(unpacker.pool, job)) return Stop(unpacker, {});  // the pool tells why
        if (unpacker.header.size() + entry.compressedSize <= kHeldEntry) return HoldEntry(unpacker, entry);
        if (PrepareFileTarget(unpacker.file))
            unpacker.out.open(LongPath(unpacker.file), std::ios::binary | std::ios::trunc);
        if (!unpacker.out) return Stop(unpacker, PathToWide(unpacker.file) + L" cannot be written");
        write = [&out = unpacker.out](const unsigned char* data, std::size_t size) {
            out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
            return static_cast<bool>(out);
        };
    }
    StartEntryDecoder(unpacker.decoder, entry, UINT64_MAX, std::move(write));
    std::size_t used = 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(unpacker.header.data());
    FeedEntryDecoder(unpacker.decoder, bytes, unpacker.header.size(), used);
    unpacker.inEntry = true;
    return unpacker.decoder.stage != DecodeStage::Failed || Stop(unpacker, unpacker.decoder.why);
}

// Gathers a local header; false when the unpacking must stop.
bool TakeHeader(Unpacker& unpacker, const char* data, std::size_t size, std::size_t& used) {
    std::string& header = unpacker.header;
    if (header.empty()) unpacker.entryAt = unpacker.at + used;
    auto fixed = [&] { return reinterpret_cast<const unsigned char*>(header.data()); };
    const std::size_t wanted =
        header.size() < kLocalHeaderFixedSize ? kLocalHeaderFixedSize : LocalHeaderLength(fixed());
    const std::size_t piece = std::min(size - used, wanted - header.size());
    header.append(data + used, piece);
    used += piece;
    if (header.size() >= kLocalSignature.size() && header.compare(0, kLocalSignature.size(), kLocalSignature) != 0) {
        unpacker.atDirectory = true;
        return true;
    }
    if (header.size() < kLocalHeaderFixedSize || header.size() < LocalHeaderLength(fixed())) return true;
    return BeginEntry(unpacker);
}

bool TakeHeldData(Unpacker& unpacker, const char* data, std::size_t size, std::size_t& used) {
    const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(size - used, unpacker.heldLeft));
    unpacker.held.bytes.append(data + used, piece);
    used += piece;
    unpacker.heldLeft -= piece;
    if (unpacker.heldLeft > 0) return true;
    unpacker.holding = unpacker.inEntry = false;
    if (!SubmitEntry(unpacker.pool, std::move(unpacker.held))) return Stop(unpacker, {});
    unpacker.held = EntryJob{};
    unpacker.offsets.push_back(unpacker.entryAt);
    return true;
}

bool TakeData(Unpacker& unpacker, const char* data, std::size_t size, std::size_t& used) {
    if (unpacker.holding) return TakeHeldData(unpacker, data, size, used);
    std::size_t taken = 0;
    const auto stage =
        FeedEntryDecoder(unpacker.decoder, reinterpret_cast<const unsigned char*>(data + used), size - used, taken);
    used += taken;
    if (stage == DecodeStage::Failed)
        return Stop(unpacker, DescribeEntry(unpacker.decoder.entry) + L": " + unpacker.decoder.why);
    if (stage != DecodeStage::Done) return true;
    unpacker.inEntry = false;
    if (unpacker.out.is_open()) {
        CloseWritten(unpacker.out, unpacker.file);
        if (!unpacker.out) return Stop(unpacker, PathToWide(unpacker.file) + L" cannot be written");
        StartWritingToDisk(unpacker.file);
    }
    unpacker.offsets.push_back(unpacker.entryAt);
    unpacker.header.clear();
    return true;
}

bool Unpack(Unpacker& unpacker, const std::string& piece) {
    std::size_t used = 0;
    // An entry without data is done with its header.
    auto pending = [&] {
        return unpacker.inEntry &&
               (unpacker.holding ? unpacker.heldLeft == 0 : unpacker.decoder.stage == DecodeStage::Done);
    };
    while ((used < piece.size() || pending()) && !unpacker.atDirectory) {
        const bool going = unpacker.inEntry ? TakeData(unpacker, piece.data(), piece.size(), used)
                                            : TakeHeader(unpacker, piece.data(), piece.size(), used);
        if (!going) return false;
    }
    unpacker.at += piece.size();
    return true;
}

void RunStream(PackageStream& stream) {
    Unpacker unpacker;
    unpacker.destination = stream.destination;
    unpacker.pool.besideDownload = true;
    StartEntryPool(unpacker.pool, {}, {}, EntryThreadCount());
    // After the start: threads made by a lowered thread would start lowered on Linux.
    LowerThisThreadPriority();
    std::unique_lock lock(stream.mutex);
    for (;;) {
        stream.changed.wait(lock, [&] { return !stream.pieces.empty() || stream.ended || stream.stopped; });
        if (stream.pieces.empty() || stream.stopped) break;
        std::string piece = std::move(stream.pieces.front());
        stream.pieces.pop_front();
        lock.unlock();
        const bool going = Unpack(unpacker, piece);
        lock.lock();
        stream.bytesQueued -= piece.size();
        stream.changed.notify_all();
        if (going) continue;
        stream.stopped = true;
        stream.result.why = unpacker.why;
        break;
    }
    lock.unlock();
    std::wstring why;
    const bool pooled = FinishEntryPool(unpacker.pool, why);
    lock.lock();
    if (!pooled && stream.result.why.empty()) stream.result.why = why;
    stream.result.complete = !stream.stopped && pooled && unpacker.atDirectory;
    stream.result.offsets = std::move(unpacker.offsets);
}

}  // namespace

PackageStream::~PackageStream() { FinishPackageStream(*this); }

bool StartPackageStream(PackageStream& stream, const fs::path& destination) {
    stream.destination = destination;
    try {
        stream.thread = std::thread(RunStream, std::ref(stream));
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

namespace {

// Gives the gathered bytes to the unpacking thread, waiting while too many are in flight.
void HandOver(PackageStream& stream) {
    if (stream.gathering.empty()) return;
    std::unique_lock lock(stream.mutex);
    stream.changed.wait(lock, [&] { return stream.stopped || stream.bytesQueued < kMostBytesInFlight; });
    if (!stream.stopped) {
        stream.bytesQueued += stream.gathering.size();
        stream.pieces.push_back(std::move(stream.gathering));
        stream.changed.notify_all();
    }
    stream.gathering = std::string();
}

}  // namespace

void FeedPackageStream(PackageStream& stream, std::uint64_t offset, const char* data, std::size_t size) {
    if (stream.ended || !stream.thread.joinable()) return;
    if (offset != stream.gatheredEnd) {
        std::lock_guard lock(stream.mutex);
        if (!stream.stopped) stream.result.why = L"its bytes started again at byte " + std::to_wstring(offset);
        stream.stopped = true;
        stream.changed.notify_all();
        return;
    }
    if (stream.gathering.empty()) stream.gathering.reserve(kPieceSize);
    stream.gathering.append(data, size);
    stream.gatheredEnd += size;
    if (stream.gathering.size() >= kPieceSize) HandOver(stream);
}

StreamedEntries FinishPackageStream(PackageStream& stream) {
    if (!stream.ended && stream.thread.joinable()) HandOver(stream);
    {
        std::lock_guard lock(stream.mutex);
        stream.ended = true;
    }
    stream.changed.notify_all();
    if (stream.thread.joinable()) stream.thread.join();
    return stream.result;
}
