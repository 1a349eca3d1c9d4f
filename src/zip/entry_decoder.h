#pragma once
// One entry's bytes as they lie in the package, from its local header on,
// pushed in order in pieces of any size: the local header is checked against
// the central entry, the data stored or inflated into the entry's content,
// and the content's size and CRC-32 checked at its end. Extraction feeds it
// from the package file, the differential update from ranges as they arrive.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zip/zip_format.h"

// Receives the content piece by piece; false stops the entry.
using ContentWriter = std::function<bool(const unsigned char* data, std::size_t size)>;

struct InflateState;  // zlib's stream, which must not move
void FreeInflateState(InflateState* state);
struct WholeInflater;  // inflates in one call data that is all at hand
void FreeWholeInflater(WholeInflater* inflater);

enum class DecodeStage { Header, Data, Done, Failed };

struct EntryDecoder {
    ZipEntry entry;
    std::uint64_t room = 0;  // bytes from the local header to where the entry's data must have ended
    ContentWriter write;
    DecodeStage stage = DecodeStage::Header;
    std::string header;
    std::uint64_t dataLeft = 0;
    std::uint64_t written = 0;
    std::uint32_t crc = 0;
    bool streamEnded = false;
    std::unique_ptr<InflateState, decltype(&FreeInflateState)> inflater{nullptr, &FreeInflateState};
    // Made at the first entry it inflates and kept for the next ones.
    std::unique_ptr<WholeInflater, decltype(&FreeWholeInflater)> whole{nullptr, &FreeWholeInflater};
    std::vector<unsigned char> out;
    std::wstring why;  // set when it failed
};

void StartEntryDecoder(EntryDecoder& decoder, const ZipEntry& entry, std::uint64_t room, ContentWriter write);

// Takes what it needs of the bytes and gives how many in `used`; the stage
// after it says whether the entry is Done (content complete and checked),
// Failed (why says why) or needs more bytes.
DecodeStage FeedEntryDecoder(EntryDecoder& decoder, const unsigned char* data, std::size_t size, std::size_t& used);
