#pragma once
// One package's entries unpacked from its bytes as they arrive, whichever way
// they come: the whole package from byte 0 on, or only the ranges that hold
// the entries wanted. What is unpacked is said either by a directory read
// before, whose entries come in the order of their offsets, each bounded by
// the sizes it lists and checked by its CRC-32 and content check (every other
// byte is passed over), or, without one, by the local headers as they come,
// each bounded by the sizes its header gives, until the central directory
// begins. An entry no larger than kHeldEntry is gathered whole and decoded on
// the pool's threads; a larger one here, as its bytes come. Every file opened
// goes on the written list, so that a failure can take them all away again.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "zip/entry_decoder.h"
#include "zip/entry_pool.h"
#include "zip/zip_format.h"
#include "zip/zip_names.h"

// One entry of a directory read before, to be unpacked.
struct StreamTarget {
    ZipEntry entry;
    std::filesystem::path relative;  // below the destination
    bool isDirectory = false;
    std::uint64_t room = 0;  // bytes from its local header to where the next record begins
};

// Gives the next entry to unpack, by offset; false when there is none left.
using TargetSource = std::function<bool(StreamTarget& next)>;
// The check of an entry's content, from what the directory says of it.
using CheckMaker = std::function<ContentCheck(const ZipEntry& entry)>;

// True when the installed file at `relative` (below the installation) holds
// the entry's content already: the entry is then passed over, not unpacked.
using AlreadyInstalled = std::function<bool(const ZipEntry& entry, const std::filesystem::path& relative)>;

// The files a stream opened, as native strings: a path object keeps its parsed
// components too, several times the name's size, for thousands of files.
using WrittenFiles = std::vector<std::filesystem::path::string_type>;

enum class StreamStep { Between, Held, Decoded, PassedOver };

struct EntryStream {
    std::filesystem::path destination;
    TargetSource next;                        // empty: the local headers say what comes
    CheckMaker checkOf;                       // empty: the CRC-32 only
    const std::atomic<bool>* stop = nullptr;  // once true, no more content is written
    AlreadyInstalled installed;               // local headers: entries left in place; empty: none
    EntryPool pool;
    EntryDecoder decoder;  // one for all entries: its buffer is allocated once
    EntryJob job;          // the entry's file, and while held its bytes for the pool
    std::ofstream out;
    ContentCheck check;
    StreamStep step = StreamStep::Between;
    StreamTarget target;  // the next entry of the directory, when `haveTarget`
    bool haveTarget = false;
    bool atDirectory = false;  // local headers: the central directory has begun
    bool failed = false;
    std::uint64_t position = 0;  // the offset of the next byte expected
    std::uint64_t heldLeft = 0;
    std::uint64_t entryAt = 0;
    std::string header;                      // local headers: the one being gathered
    std::vector<std::uint64_t> offsets;      // where the unpacked entries' local headers begin
    std::vector<std::uint64_t> leftInPlace;  // of those, the entries passed over: installed already
    WrittenFiles written;
    std::wstring why;  // empty after a failure of the pool's: it tells why
};

// `next` empty: the local headers say what comes, from byte 0; then an entry
// whose header gives its CRC-32 and sizes and that `installed` accepts is
// passed over, unless an earlier entry of its name was unpacked.
void StartEntryStream(EntryStream& stream, const std::filesystem::path& destination, TargetSource next = {},
    CheckMaker checkOf = {}, const std::atomic<bool>* stop = nullptr, AlreadyInstalled installed = {});

// Takes the package's bytes at `offset`: where the last ones ended or, with a
// directory, further on between two entries. False once the stream failed.
bool FeedEntryStream(EntryStream& stream, std::uint64_t offset, const char* data, std::size_t size);

// True when no entry beginning before `end` is still waiting for bytes; else
// `why` names the first one.
bool EntryStreamPassed(const EntryStream& stream, std::uint64_t end, std::wstring& why);

// Waits for the pool. True when every entry went well and all there was to
// unpack was: the directory's entries, or the local ones up to the central
// directory. Otherwise `why` says why (empty when the stream simply ended early).
bool FinishEntryStream(EntryStream& stream, std::wstring& why);

// Removes every file the stream opened.
void DiscardEntryStream(EntryStream& stream);

// True when `installed` accepts the file entry and no earlier entry of its
// name was unpacked into the destination (the later entry of a name counts).
bool LeavesInPlace(const AlreadyInstalled& installed, const ZipEntry& entry, const EntryPath& path,
    const std::filesystem::path& destination);

// Flushes the files to the disk (durable_files.h); false when one cannot be.
bool FlushWrittenFiles(const WrittenFiles& files);
