#pragma once
// A package unpacked while it arrives. Its bytes, pushed in order from byte 0
// as they are stored, go through the local headers one entry after the other
// into the destination, on a thread of its own; the pushing waits only while
// too many bytes are in flight. Only what the local headers say is known then:
// AdoptStreamedZip checks it all against the central directory once the whole
// package is there. An entry whose sizes follow its data, an unsafe name,
// damage, or bytes that do not continue where the last ones ended stop the
// unpacking, and the whole package is unpacked again once it is there.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct StreamedEntries {
    bool complete = false;               // every entry up to the central directory was unpacked
    std::vector<std::uint64_t> offsets;  // where their local headers begin, in the order they came
    std::wstring why;                    // why the unpacking stopped; empty when it never started
};

struct PackageStream {
    std::filesystem::path destination;
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

// False when no thread could be started: nothing is unpacked then.
bool StartPackageStream(PackageStream& stream, const std::filesystem::path& destination);
void FeedPackageStream(PackageStream& stream, std::uint64_t offset, const char* data, std::size_t size);
// No more bytes: waits for the thread and gives what it unpacked.
StreamedEntries FinishPackageStream(PackageStream& stream);
