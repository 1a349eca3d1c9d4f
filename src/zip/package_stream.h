#pragma once
// A package unpacked while it arrives. Its bytes, pushed in order from byte 0
// as they are stored, go through the entry stream (entry_stream.h) into the
// destination, on a thread of its own; the pushing waits only while too many
// bytes are in flight. Given a directory read and checked before, the stream
// unpacks exactly its entries, each bounded and checked by what it lists.
// Otherwise only what the local headers say is known then: AdoptStreamedZip
// checks it all against the central directory once the whole package is
// there. An entry whose sizes follow its data, an unsafe name, damage, or
// bytes that do not continue where the last ones ended stop the unpacking,
// and the whole package is unpacked again once it is there. A stopped or
// failed stream removes what it wrote.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zip/entry_stream.h"

struct StreamedEntries {
    bool complete = false;                   // every entry up to the central directory was unpacked
    std::vector<std::uint64_t> offsets;      // where their local headers begin, in the order they came
    std::vector<std::uint64_t> leftInPlace;  // local headers: of those, the ones installed already, not unpacked
    std::wstring why;                        // why the unpacking stopped; empty when it never started
    bool byDirectory = false;                // the entries a directory read before listed
    WrittenFiles written;                    // the files unpacked
};

struct PackageStream {
    std::filesystem::path destination;
    TargetSource next;  // empty: the local headers say what comes
    CheckMaker checkOf;
    AlreadyInstalled installed;
    std::atomic<bool> stopping{false};
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> pieces;
    std::size_t bytesQueued = 0;
    std::string gathering;          // the feeding thread's bytes not yet handed over, in one piece
    std::uint64_t gatheredEnd = 0;  // the offset the next bytes fed must have
    bool ended = false;
    bool stopped = false;
    StreamedEntries result;
    std::thread thread;
    ~PackageStream();
};

// False when no thread could be started: nothing is unpacked then. With
// `next`, the entries it gives are unpacked, checked by `checkOf`; without,
// those `installed` accepts are left in place (entry_stream.h).
bool StartPackageStream(PackageStream& stream, const std::filesystem::path& destination, TargetSource next = {},
    CheckMaker checkOf = {}, AlreadyInstalled installed = {});
void FeedPackageStream(PackageStream& stream, std::uint64_t offset, const char* data, std::size_t size);
// The package will not be kept: the unpacking stops at once, queued bytes
// unread, and what it wrote is removed.
void StopPackageStream(PackageStream& stream);
// No more bytes: waits for the thread and gives what it unpacked.
StreamedEntries FinishPackageStream(PackageStream& stream);
