#include "zip/package_stream.h"

#include <system_error>
#include <utility>

#include "base/give_back.h"
#include "base/thread_priority.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMostBytesInFlight = 2 * 1024 * 1024;
// The bytes fed are handed to the unpacking thread in pieces of about this
// size: one hand-over (and wake-up) for many of the download's small writes.
constexpr std::size_t kPieceSize = 256 * 1024;

void RunStream(PackageStream& stream) {
    EntryStream entries;
    StartEntryStream(entries, stream.destination, stream.next, stream.checkOf, &stream.stopping, stream.installed);
    // After the start: threads made by a lowered thread would start lowered on Linux.
    LowerThisThreadPriority();
    std::unique_lock lock(stream.mutex);
    std::uint64_t at = 0;
    for (;;) {
        stream.changed.wait(lock, [&] { return !stream.pieces.empty() || stream.ended || stream.stopped; });
        if (stream.pieces.empty() || stream.stopped) break;
        std::string piece = std::move(stream.pieces.front());
        stream.pieces.pop_front();
        lock.unlock();
        const bool going = FeedEntryStream(entries, at, piece.data(), piece.size());
        at += piece.size();
        lock.lock();
        stream.bytesQueued -= piece.size();
        stream.changed.notify_all();
        if (going) continue;
        stream.stopped = true;
        break;
    }
    lock.unlock();
    std::wstring why;
    const bool complete = FinishEntryStream(entries, why) && !stream.stopping;
    if (!complete) DiscardEntryStream(entries);
    lock.lock();
    if (stream.result.why.empty()) stream.result.why = why;
    stream.result.complete = complete && !stream.stopped;
    stream.result.byDirectory = static_cast<bool>(stream.next);
    stream.result.offsets = std::move(entries.offsets);
    stream.result.leftInPlace = std::move(entries.leftInPlace);
    stream.result.written = std::move(entries.written);
}

}  // namespace

PackageStream::~PackageStream() { FinishPackageStream(*this); }

bool StartPackageStream(PackageStream& stream, const fs::path& destination, TargetSource next, CheckMaker checkOf,
    AlreadyInstalled installed) {
    stream.destination = destination;
    stream.next = std::move(next);
    stream.checkOf = std::move(checkOf);
    stream.installed = std::move(installed);
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
    GiveBack(stream.gathering);
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

void StopPackageStream(PackageStream& stream) {
    stream.stopping = true;
    std::lock_guard lock(stream.mutex);
    if (stream.result.why.empty()) stream.result.why = L"the package was not kept";
    stream.stopped = true;
    stream.changed.notify_all();
}

StreamedEntries FinishPackageStream(PackageStream& stream) {
    if (!stream.ended && stream.thread.joinable()) HandOver(stream);
    {
        std::lock_guard lock(stream.mutex);
        stream.ended = true;
    }
    stream.changed.notify_all();
    if (stream.thread.joinable()) stream.thread.join();
    return std::move(stream.result);
}
