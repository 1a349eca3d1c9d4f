#include "zip/entry_stream.h"

#include <algorithm>

#include "base/durable_files.h"
#include "base/file_system.h"
#include "base/long_path.h"
#include "base/text.h"
#include "zip/zip_directory.h"
#include "zip/zip_names.h"
#include "zip/zip_output.h"

namespace fs = std::filesystem;

namespace {

const std::string kLocalSignature("PK\x03\x04", 4);

bool Fail(EntryStream& stream, std::wstring why) {
    stream.why = std::move(why);
    stream.failed = true;
    return false;
}

bool Stopped(const EntryStream& stream) { return stream.stop && stream.stop->load(); }

// Takes the directory's next entry; a folder is made as soon as it is named.
bool PullTarget(EntryStream& stream) {
    while ((stream.haveTarget = stream.next(stream.target)) && stream.target.isDirectory) {
        std::vector<std::wstring> components;
        for (const fs::path& component : stream.target.relative) components.push_back(PathToWide(component));
        fs::path folder;
        if (!MakeEntryDirectory(stream.destination, components, components.size(), folder))
            return Fail(stream, DescribeEntry(stream.target.entry) + L": its folder cannot be made");
    }
    return true;
}

bool CannotWrite(EntryStream& stream, const ZipEntry& entry) {
    return Fail(stream, DescribeEntry(entry) + L": " + PathToWide(stream.job.file) + L" cannot be written");
}

// Opens the entry's file once no earlier entry still writes one of its name.
bool OpenEntryFile(
    EntryStream& stream, const ZipEntry& entry, const std::vector<std::wstring>& components, std::ofstream& out) {
    fs::path folder;
    stream.job.file = stream.destination;  // the name a failure gives until its folder is made
    for (const std::wstring& component : components) stream.job.file /= WideToPath(component);
    if (!MakeEntryDirectory(stream.destination, components, components.size() - 1, folder))
        return Fail(stream, DescribeEntry(entry) + L": its folder cannot be made");
    stream.job.file = folder / WideToPath(components.back());
    if (!WaitForEntryName(stream.pool, stream.job)) return Fail(stream, {});  // the pool tells why
    if (PrepareFileTarget(stream.job.file)) out.open(LongPath(stream.job.file), std::ios::binary | std::ios::trunc);
    if (!out.is_open()) return CannotWrite(stream, entry);
    stream.written.push_back(stream.job.file.native());
    return true;
}

// Begins the entry whose local header starts here. `held` bytes from its
// header on make it whole when it is held for the pool; `room` bounds it.
bool BeginEntry(EntryStream& stream, const ZipEntry& entry, const std::vector<std::wstring>& components,
    bool isDirectory, std::uint64_t held, std::uint64_t room) {
    stream.job = EntryJob{};
    if (isDirectory) {
        fs::path folder;
        if (!MakeEntryDirectory(stream.destination, components, components.size(), folder))
            return Fail(stream, DescribeEntry(entry) + L": its folder cannot be made");
    } else if (held <= kHeldEntry) {
        if (!OpenEntryFile(stream, entry, components, stream.job.out)) return false;
        stream.job.index = stream.entryAt;
        stream.job.entry = entry;
        stream.job.bytes.reserve(static_cast<std::size_t>(held));
        if (stream.checkOf) stream.job.check = stream.checkOf(entry);
        stream.heldLeft = held;
        stream.step = StreamStep::Held;
        return true;
    } else if (!OpenEntryFile(stream, entry, components, stream.out)) {
        return false;
    }
    stream.check = stream.checkOf && !isDirectory ? stream.checkOf(entry) : ContentCheck{};
    ContentWriter write = [](const unsigned char*, std::size_t) { return true; };
    if (!isDirectory)
        write = [&stream](const unsigned char* data, std::size_t size) {
            if (Stopped(stream)) return false;
            if (stream.check.add) stream.check.add(data, size);
            stream.out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
            return static_cast<bool>(stream.out);
        };
    StartEntryDecoder(stream.decoder, entry, room, std::move(write));
    stream.step = StreamStep::Decoded;
    return stream.decoder.stage != DecodeStage::Failed || Fail(stream, stream.decoder.why);
}

// The entry is unpacked, or in the pool's hands.
bool EntryDone(EntryStream& stream) {
    stream.step = StreamStep::Between;
    stream.offsets.push_back(stream.entryAt);
    return !stream.next || PullTarget(stream);
}

bool SubmitHeld(EntryStream& stream) {
    if (!SubmitEntry(stream.pool, std::move(stream.job))) return Fail(stream, {});
    stream.job = EntryJob{};
    return EntryDone(stream);
}

bool FinishDecoded(EntryStream& stream) {
    const ZipEntry& entry = stream.decoder.entry;
    if (!stream.out.is_open()) return EntryDone(stream);
    CloseWritten(stream.out, stream.job.file);
    if (stream.check.matches && !stream.check.matches())
        return Fail(stream, DescribeEntry(entry) + L": its content does not match its digest");
    if (!stream.out) return CannotWrite(stream, entry);
    StartWritingToDisk(stream.job.file);
    if (entry.madeBy >> 8 == kHostUnix) ApplyUnixMode(stream.job.file, entry.externalAttributes >> 16);
    return EntryDone(stream);
}

// The entry's data passed over: its installed file stays.
bool PassedOver(EntryStream& stream) {
    stream.leftInPlace.push_back(stream.entryAt);
    return EntryDone(stream);
}

// Takes bytes of the entry under way; `used` says how many.
bool TakeEntryBytes(EntryStream& stream, const char* data, std::size_t size, std::size_t& used) {
    if (stream.step == StreamStep::PassedOver) {
        used = static_cast<std::size_t>(std::min<std::uint64_t>(size, stream.heldLeft));
        stream.heldLeft -= used;
        return stream.heldLeft > 0 || PassedOver(stream);
    }
    if (stream.step == StreamStep::Held) {
        used = static_cast<std::size_t>(std::min<std::uint64_t>(size, stream.heldLeft));
        stream.job.bytes.append(data, used);
        stream.heldLeft -= used;
        return stream.heldLeft > 0 || SubmitHeld(stream);
    }
    const auto stage = FeedEntryDecoder(stream.decoder, reinterpret_cast<const unsigned char*>(data), size, used);
    if (stage == DecodeStage::Failed) {
        if (Stopped(stream)) return Fail(stream, L"the unpacking was stopped");
        return Fail(stream, DescribeEntry(stream.decoder.entry) + L": " + stream.decoder.why);
    }
    return stage != DecodeStage::Done || FinishDecoded(stream);
}

// The directory's entry begins here.
bool BeginTarget(EntryStream& stream) {
    const StreamTarget& target = stream.target;
    std::vector<std::wstring> components;
    for (const fs::path& component : target.relative) components.push_back(PathToWide(component));
    stream.entryAt = stream.position;
    return BeginEntry(stream, target.entry, components, false, target.room, target.room);
}

// The local header is whole: the entry it describes begins.
bool BeginLocalEntry(EntryStream& stream) {
    ZipEntry entry;
    if (!ReadLocalEntry(stream.header, entry))
        return Fail(stream,
            L"a local header at byte " + std::to_wstring(stream.entryAt) + L" is damaged or its sizes follow its data");
    EntryPath path;
    if ((entry.flags & (kFlagEncrypted | kFlagStrongEncryption)) ||
        (entry.method != kMethodStored && entry.method != kMethodDeflated) || !DecodeEntryPath(entry, path))
        return Fail(stream, DescribeEntry(entry) + L": cannot be unpacked from its local header");
    if (LeavesInPlace(stream.installed, entry, path, stream.destination)) {
        stream.header.clear();
        stream.heldLeft = entry.compressedSize;
        stream.step = StreamStep::PassedOver;
        return stream.heldLeft > 0 || PassedOver(stream);
    }
    const std::uint64_t held = stream.header.size() + entry.compressedSize;
    if (!BeginEntry(stream, entry, path.components, path.isDirectory, held, UINT64_MAX)) return false;
    std::size_t used = 0;
    const std::string header = std::move(stream.header);
    stream.header.clear();
    return TakeEntryBytes(stream, header.data(), header.size(), used);
}

// Gathers a local header, whose bytes are counted only once it is whole.
bool TakeLocalHeader(EntryStream& stream, const char* data, std::size_t size, std::size_t& used) {
    std::string& header = stream.header;
    if (header.empty()) stream.entryAt = stream.position;
    auto fixed = [&] { return reinterpret_cast<const unsigned char*>(header.data()); };
    const std::size_t wanted =
        header.size() < kLocalHeaderFixedSize ? kLocalHeaderFixedSize : LocalHeaderLength(fixed());
    const std::size_t piece = std::min(size, wanted - header.size());
    header.append(data, piece);
    used = piece;
    if (header.size() >= kLocalSignature.size() && header.compare(0, kLocalSignature.size(), kLocalSignature) != 0) {
        stream.atDirectory = true;
        return true;
    }
    if (header.size() < kLocalHeaderFixedSize || header.size() < LocalHeaderLength(fixed())) return true;
    return BeginLocalEntry(stream);
}

// Takes bytes between entries: the next one's header, or bytes passed over.
bool TakeBetween(EntryStream& stream, const char* data, std::size_t size, std::size_t& used) {
    if (!stream.next) {
        if (stream.atDirectory) {
            used = size;
            return true;
        }
        return TakeLocalHeader(stream, data, size, used);
    }
    used = size;
    if (!stream.haveTarget) return true;
    const std::uint64_t at = stream.target.entry.localOffset;
    if (stream.position < at) {
        used = static_cast<std::size_t>(std::min<std::uint64_t>(size, at - stream.position));
        return true;
    }
    used = 0;
    return BeginTarget(stream);
}

}  // namespace

void StartEntryStream(EntryStream& stream, const fs::path& destination, TargetSource next, CheckMaker checkOf,
    const std::atomic<bool>* stop, AlreadyInstalled installed) {
    stream.destination = destination;
    stream.installed = std::move(installed);
    stream.next = std::move(next);
    stream.checkOf = std::move(checkOf);
    stream.stop = stop;
    stream.pool.besideDownload = true;
    stream.pool.stop = stop;
    StartEntryPool(stream.pool, {}, {}, EntryThreadCount());
    if (stream.next) PullTarget(stream);
}

bool FeedEntryStream(EntryStream& stream, std::uint64_t offset, const char* data, std::size_t size) {
    if (stream.failed) return false;
    if (offset != stream.position) {
        const bool skipping =
            stream.next && offset > stream.position && stream.step == StreamStep::Between && stream.header.empty();
        if (!skipping) return Fail(stream, L"its bytes started again at byte " + std::to_wstring(offset));
        if (stream.haveTarget && stream.target.entry.localOffset < offset)
            return Fail(stream, DescribeEntry(stream.target.entry) + L": its bytes never came");
        stream.position = offset;
    }
    while (size > 0) {
        if (Stopped(stream)) return Fail(stream, L"the unpacking was stopped");
        std::size_t used = 0;
        const bool going = stream.step == StreamStep::Between ? TakeBetween(stream, data, size, used)
                                                              : TakeEntryBytes(stream, data, size, used);
        if (!going) return false;
        stream.position += used;
        data += used;
        size -= used;
    }
    return true;
}

bool EntryStreamPassed(const EntryStream& stream, std::uint64_t end, std::wstring& why) {
    const ZipEntry* waiting = nullptr;
    if (stream.step == StreamStep::Held) waiting = &stream.job.entry;
    if (stream.step == StreamStep::Decoded) waiting = &stream.decoder.entry;
    if (!waiting && stream.haveTarget && stream.target.entry.localOffset < end) waiting = &stream.target.entry;
    if (!waiting) return true;
    why = DescribeEntry(*waiting) + L": its data runs past where the next record begins";
    return false;
}

bool FinishEntryStream(EntryStream& stream, std::wstring& why) {
    std::wstring pooledWhy;
    const bool pooled = FinishEntryPool(stream.pool, pooledWhy);
    // Every entry the pool was given lies before any that failed here, so a
    // failure of the pool's is the first in the package.
    why = pooled ? stream.why : pooledWhy;
    if (!pooled || stream.failed) return false;
    if (stream.step != StreamStep::Between) return false;
    return stream.next ? !stream.haveTarget : stream.atDirectory;
}

void DiscardEntryStream(EntryStream& stream) {
    std::wstring why;
    FinishEntryPool(stream.pool, why);
    if (stream.out.is_open()) stream.out.close();
    if (stream.job.out.is_open()) stream.job.out.close();
    for (const auto& file : stream.written) RemoveQuietly(fs::path(file));
    stream.written.clear();
}

bool LeavesInPlace(
    const AlreadyInstalled& installed, const ZipEntry& entry, const EntryPath& path, const fs::path& destination) {
    if (!installed || path.isDirectory) return false;
    const fs::path relative = RelativePathOf(path);
    std::error_code ec;
    if (EntryStatus(destination / relative, ec).type() != fs::file_type::not_found) return false;
    return installed(entry, relative);
}

bool FlushWrittenFiles(const WrittenFiles& files) {
    return files.empty() || FlushFilesToDisk(fs::path(files.front()).parent_path());
}
