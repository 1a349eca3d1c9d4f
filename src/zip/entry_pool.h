#pragma once
// The entries of one package decoded on several threads at once, each thread
// with its own handle on the package and its own buffers. What is in flight
// stays bounded whatever the package: a read chunk and an output buffer per
// thread, and a short queue of entries waiting with their files already
// opened. The thread that submits stays the only one that logs and reports
// progress; a failure comes back with its entry's place in the directory, so
// that the one reported is the first in directory order, as a single pass
// would have found it.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zip/zip_format.h"

// Entries up to this size (local header and data) are gathered whole in memory
// and decoded on the pool's threads; larger ones where their bytes arrive. With
// the most threads a pool starts, 18 entries are held at once: 4.5 MB.
constexpr std::uint64_t kHeldEntry = 256 * 1024;

// Follows an entry's content as it is decoded and judges it once complete.
// The ZIP layer knows no digest: whoever submits the entry brings the check.
struct ContentCheck {
    std::function<void(const unsigned char* data, std::size_t size)> add;
    std::function<bool()> matches;
};

struct EntryJob {
    std::uint64_t index = 0;  // the entry's place in the package: the lowest failed one is reported
    ZipEntry entry;
    std::ofstream out;           // not open: the content is only checked
    std::filesystem::path file;  // what `out` writes
    std::string bytes;           // when not empty: the entry's local header and data, read from here
    std::wstring key;            // set by WaitForEntryName: the file's name with every case folded together
    ContentCheck check;          // when set: content it does not match fails the entry
};

struct EntryPool {
    std::filesystem::path package;
    ZipDirectory directory;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<EntryJob> queue;
    std::vector<std::wstring> inFlight;  // keys of the files queued or being written
    std::size_t busy = 0;
    std::size_t queueLimit = 0;
    bool closing = false;
    std::uint64_t failedIndex = UINT64_MAX;
    std::wstring why;
    std::vector<std::thread> threads;
    // Set before the start when the entries come from a download in progress:
    // the threads then run below the one that receives (see thread_priority.h).
    bool besideDownload = false;
    // Set before the start when the work may be called off: once true, no
    // more content is written and the entries under way fail.
    const std::atomic<bool>* stop = nullptr;
    ~EntryPool();
};

// The threads worth starting: the machine's cores, at least one and at most a
// few, so that memory stays flat however many cores there are.
unsigned EntryThreadCount();

// Without a package, only entries that bring their bytes can be run.
void StartEntryPool(
    EntryPool& pool, const std::filesystem::path& package, const ZipDirectory& directory, unsigned threads);

// Waits until no earlier entry is still writing a file of the job's name (set
// job.file first): only then may the file be opened again. False once an entry
// has failed: submit no more.
bool WaitForEntryName(EntryPool& pool, EntryJob& job);

// Queues the entry, waiting while the queue is full. False once an entry has
// failed: submit no more. Runs the entry itself when no thread started.
bool SubmitEntry(EntryPool& pool, EntryJob job);

// Waits for every submitted entry and ends the threads; false with `why`
// naming the first failed entry in directory order.
bool FinishEntryPool(EntryPool& pool, std::wstring& why);
