#include "zip/entry_decoder.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>

namespace {

constexpr std::size_t kOutputChunk = 256 * 1024;

DecodeStage Fail(EntryDecoder& decoder, std::wstring why) {
    decoder.why = std::move(why);
    decoder.stage = DecodeStage::Failed;
    decoder.inflater.reset();
    return decoder.stage;
}

// False, with the reason set, past the declared size or when the writer refuses.
bool Put(EntryDecoder& decoder, const unsigned char* data, std::size_t size) {
    if (size > decoder.entry.uncompressedSize - decoder.written) {
        decoder.why = L"more content than the " + std::to_wstring(decoder.entry.uncompressedSize) + L" bytes declared";
        return false;
    }
    decoder.written += size;
    decoder.crc = libdeflate_crc32(decoder.crc, data, size);
    if (size == 0 || decoder.write(data, size)) return true;
    if (decoder.why.empty()) decoder.why = L"its content could not be stored";
    return false;
}

// Gathers the local header and checks it; then the data begins.
DecodeStage TakeHeader(EntryDecoder& decoder, const unsigned char* data, std::size_t size, std::size_t& used) {
    std::size_t wanted = kLocalHeaderFixedSize;
    while (used < size && decoder.header.size() < wanted) {
        const std::size_t piece = std::min(size - used, wanted - decoder.header.size());
        decoder.header.append(reinterpret_cast<const char*>(data + used), piece);
        used += piece;
        if (decoder.header.size() == kLocalHeaderFixedSize) {
            wanted = LocalHeaderLength(reinterpret_cast<const unsigned char*>(decoder.header.data()));
            if (wanted == 0) return Fail(decoder, L"no local header where the directory points");
        }
    }
    if (decoder.header.size() < kLocalHeaderFixedSize ||
        decoder.header.size() < LocalHeaderLength(reinterpret_cast<const unsigned char*>(decoder.header.data())))
        return decoder.stage;
    if (!LocalHeaderMatches(decoder.header, decoder.entry))
        return Fail(decoder, L"the local header does not match the directory");
    if (decoder.header.size() > decoder.room || decoder.entry.compressedSize > decoder.room - decoder.header.size())
        return Fail(decoder, L"its data runs past where the next record begins");
    decoder.dataLeft = decoder.entry.compressedSize;
    decoder.stage = DecodeStage::Data;
    return decoder.stage;
}

}  // namespace

struct InflateState {
    z_stream stream{};
};

void FreeInflateState(InflateState* state) {
    inflateEnd(&state->stream);
    delete state;
}

struct WholeInflater {
    libdeflate_decompressor* decompressor = nullptr;
};

void FreeWholeInflater(WholeInflater* inflater) {
    libdeflate_free_decompressor(inflater->decompressor);
    delete inflater;
}

namespace {

// Inflates one piece of compressed data, all of which must be consumed unless
// the stream ended exactly with it.
bool InflatePiece(EntryDecoder& decoder, const unsigned char* data, std::size_t size) {
    z_stream& z = decoder.inflater->stream;
    z.next_in = const_cast<unsigned char*>(data);
    z.avail_in = static_cast<uInt>(size);
    do {
        z.next_out = decoder.out.data();
        z.avail_out = static_cast<uInt>(decoder.out.size());
        const int status = inflate(&z, Z_NO_FLUSH);
        if (status == Z_STREAM_END) {
            decoder.streamEnded = true;
        } else if (status != Z_OK && status != Z_BUF_ERROR) {
            decoder.why = L"damaged deflate data";
            return false;
        }
        const std::size_t produced = decoder.out.size() - z.avail_out;
        if (!Put(decoder, decoder.out.data(), produced)) return false;
        if (status == Z_BUF_ERROR && produced == 0) break;
    } while (!decoder.streamEnded && (z.avail_in > 0 || z.avail_out == 0));
    if (decoder.streamEnded && z.avail_in > 0) {
        decoder.why = L"the deflate stream ends before its data";
        return false;
    }
    return true;
}

// An entry whose data is all in this piece and whose content fits the output
// buffer is inflated in one call, at about twice zlib's speed. False when it
// was not, or when the data does not inflate into exactly the declared
// content ending with the data: zlib then reads it and names the fault.
bool InflatedWhole(EntryDecoder& decoder, const unsigned char* data, std::size_t size) {
    if (size != decoder.entry.compressedSize || decoder.entry.uncompressedSize > decoder.out.size()) return false;
    if (!decoder.whole) decoder.whole.reset(new WholeInflater{libdeflate_alloc_decompressor()});
    if (decoder.whole->decompressor == nullptr) return false;
    const auto declared = static_cast<std::size_t>(decoder.entry.uncompressedSize);
    std::size_t read = 0, produced = 0;
    const libdeflate_result result = libdeflate_deflate_decompress_ex(
        decoder.whole->decompressor, data, size, decoder.out.data(), declared, &read, &produced);
    if (result != LIBDEFLATE_SUCCESS || read != size || produced != declared) return false;
    decoder.streamEnded = true;
    return true;
}

DecodeStage TakeData(EntryDecoder& decoder, const unsigned char* data, std::size_t size, std::size_t& used) {
    const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(size - used, decoder.dataLeft));
    if (decoder.entry.method == kMethodStored) {
        if (!Put(decoder, data + used, piece)) return Fail(decoder, decoder.why);
    } else if (InflatedWhole(decoder, data + used, piece)) {
        const auto content = static_cast<std::size_t>(decoder.entry.uncompressedSize);
        if (!Put(decoder, decoder.out.data(), content)) return Fail(decoder, decoder.why);
    } else {
        if (decoder.streamEnded && piece > 0) return Fail(decoder, L"the deflate stream ends before its data");
        if (!InflatePiece(decoder, data + used, piece)) return Fail(decoder, decoder.why);
    }
    used += piece;
    decoder.dataLeft -= piece;
    if (decoder.dataLeft > 0) return decoder.stage;
    if (decoder.entry.method != kMethodStored && !decoder.streamEnded)
        return Fail(decoder, L"the deflate stream is cut short");
    if (decoder.written != decoder.entry.uncompressedSize)
        return Fail(decoder, std::to_wstring(decoder.written) + L" bytes of content instead of " +
                                 std::to_wstring(decoder.entry.uncompressedSize));
    if (decoder.crc != decoder.entry.crc) return Fail(decoder, L"its CRC-32 does not match");
    decoder.inflater.reset();
    decoder.stage = DecodeStage::Done;
    return decoder.stage;
}

}  // namespace

void StartEntryDecoder(EntryDecoder& decoder, const ZipEntry& entry, std::uint64_t room, ContentWriter write) {
    decoder.entry = entry;
    decoder.room = room;
    decoder.write = std::move(write);
    decoder.stage = DecodeStage::Header;
    decoder.header.clear();
    decoder.written = 0;
    decoder.crc = 0;
    decoder.streamEnded = false;
    decoder.why.clear();
    decoder.inflater.reset();
    if (entry.method == kMethodDeflated) {
        decoder.inflater.reset(new InflateState);
        if (inflateInit2(&decoder.inflater->stream, -MAX_WBITS) != Z_OK) {
            // Nothing to end: the stream was never set up.
            delete decoder.inflater.release();
            Fail(decoder, L"zlib could not start");
            return;
        }
        decoder.out.resize(kOutputChunk);
    }
}

DecodeStage FeedEntryDecoder(EntryDecoder& decoder, const unsigned char* data, std::size_t size, std::size_t& used) {
    used = 0;
    if (decoder.stage == DecodeStage::Header) TakeHeader(decoder, data, size, used);
    if (decoder.stage == DecodeStage::Data) TakeData(decoder, data, size, used);
    return decoder.stage;
}
