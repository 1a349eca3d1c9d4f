#include "delta/differential_update.h"

#include <algorithm>
#include <fstream>
#include <memory>

#include "base/decimal.h"
#include "base/durable_files.h"
#include "base/long_path.h"
#include "base/text.h"
#include "base/work_progress.h"
#include "delta/installed_files.h"
#include "integrity/sha256.h"
#include "rules/own_executable.h"
#include "zip/entry_decoder.h"
#include "zip/entry_pool.h"
#include "zip/zip_directory.h"
#include "zip/zip_output.h"

namespace fs = std::filesystem;

namespace {

DeltaEnd EndOf(const RemoteRead& read, std::wstring& why) {
    why = read.why;
    return read.end == RemoteEnd::GaveUp ? DeltaEnd::GaveUp : DeltaEnd::FallBack;
}

std::optional<std::uint64_t> DeclaredSize(const PackageCheck& check) {
    std::uint64_t size = 0;
    if (check.size && ParseDecimal(*check.size, size)) return size;
    return std::nullopt;
}

std::wstring Describe(const RemoteDirectory& directory, const ListedEntry& listed) {
    return DescribeEntry(EntryOf(directory, listed));
}

// A checked release (version.txt names the package's digest) is fetched in
// pieces only when the directory and every file's content can be checked too.
std::wstring RefusalOfUncheckable(const PackageCheck& check, const RemoteDirectory& directory) {
    if (!check.sha256) return {};
    for (const auto& listed : directory.entries)
        if (!listed.isDirectory && !listed.hasDigest)
            return Describe(directory, listed) + L" carries no content digest";
    return {};
}

// The entries whose installed file differs, by offset; counts the rest. Once
// the changed entries take more than `budget` bytes of the package, no more
// files are read: the whole package will be fetched anyway.
std::vector<const ListedEntry*> CompareWithInstallation(
    const fs::path& installDir, const fs::path& extractDir, std::uint64_t budget, DifferentialPlan& plan) {
    const InstalledSizes installed = ListInstalledFiles(installDir, extractDir);
    std::vector<const ListedEntry*> sameSize;
    std::vector<const ListedEntry*> changed;
    std::uint64_t toRead = 0, read = 0, changedBytes = 0;
    for (const auto& listed : plan.directory.entries) {
        if (listed.isDirectory) continue;
        ++plan.files;
        const auto size = InstalledSize(installed, RelativeNative(plan.directory, listed));
        if (!size || *size != listed.uncompressedSize) {
            changed.push_back(&listed);
            changedBytes += RegionSize(listed);
            continue;
        }
        sameSize.push_back(&listed);
        toRead += *size;
    }
    for (const ListedEntry* listed : sameSize) {
        if (changedBytes > budget) break;
        const fs::path file = installDir / RelativePath(plan.directory, *listed);
        std::uint32_t crc = 0;
        const bool readWhole = FileCrc32(file, crc, [&](std::uint64_t bytes) { ReportWork(read += bytes, toRead); });
        if (!readWhole || crc != listed->crc) {
            changed.push_back(listed);
            changedBytes += RegionSize(*listed);
            continue;
        }
        ++plan.upToDate;
        if (!RelativePath(plan.directory, *listed).has_parent_path() && IsRunningExecutable(file))
            plan.updaterUpToDate = true;
    }
    std::sort(changed.begin(), changed.end(), [](auto* a, auto* b) { return a->localOffset < b->localOffset; });
    return changed;
}

// One range per changed entry, from its local header to the next entry, with
// neighbours closer than the merge gap joined.
void PlanSpans(const std::vector<const ListedEntry*>& changed, const DeltaLimits& limits, DifferentialPlan& plan) {
    for (const ListedEntry* listed : changed) {
        const std::uint64_t from = listed->localOffset;
        if (plan.spans.empty() || from - plan.spans.back().to >= limits.mergeGap)
            plan.spans.push_back({from, from, {}});
        plan.spans.back().to = listed->regionEnd;
        plan.spans.back().entries.push_back(listed);
    }
    for (const auto& span : plan.spans) plan.plannedBytes += span.to - span.from;
    plan.changed = changed.size();
}

// The content's SHA-256 against the listed digest, for an entry decoded here
// or on the pool's threads; no check when the entry lists no digest.
ContentCheck DigestCheck(const std::string& expected) {
    if (expected.empty()) return {};
    auto hash = std::make_shared<Sha256>(StartSha256());
    return {[hash](const unsigned char* data, std::size_t size) { AddToSha256(*hash, data, size); },
        [hash, expected] {
            Sha256Digest digest{};
            return FinishSha256(*hash, digest) && std::string(digest.begin(), digest.end()) == expected;
        }};
}

// Where a span's bytes go while they arrive: past the gaps, into the file of
// each entry below the extraction directory. An entry no larger than the held
// size is gathered whole and decoded on the pool's threads; a larger one here,
// through the one entry decoder, as its bytes come.
struct SpanFeed {
    const FetchSpan& span;
    const fs::path& extractDir;
    DifferentialPlan& plan;
    EntryPool& pool;
    EntryDecoder& decoder;  // one for all spans: its buffer is allocated once
    std::uint64_t position = 0;
    std::size_t next = 0;  // the entry being taken or next to come
    bool decoding = false;
    bool holding = false;
    std::uint64_t heldLeft = 0;
    EntryJob job{};  // the entry's file, and while holding the entry for the pool
    std::ofstream out{};
    ContentCheck check{};
    std::wstring why{};                        // empty when the pool failed: it tells why
    std::vector<fs::path>* written = nullptr;  // flushed before the update goes on
};

bool CannotWrite(SpanFeed& feed, const ListedEntry& listed) {
    feed.why = Describe(feed.plan.directory, listed) + L": " + PathToWide(feed.job.file) + L" cannot be written";
    return false;
}

// Opens the entry's file once no earlier entry still writes one of its name.
bool OpenEntryFile(SpanFeed& feed, const ListedEntry& listed, std::ofstream& out) {
    fs::path directory;
    std::vector<std::wstring> components;
    const fs::path relative = RelativePath(feed.plan.directory, listed);
    for (const fs::path& component : relative) components.push_back(PathToWide(component));
    feed.job.file = feed.extractDir / relative;  // the name a failure gives until its folder is made
    if (!MakeEntryDirectory(feed.extractDir, components, components.size() - 1, directory))
        return CannotWrite(feed, listed);
    feed.job.file = directory / relative.filename();
    if (!WaitForEntryName(feed.pool, feed.job)) return false;
    if (PrepareFileTarget(feed.job.file)) out.open(LongPath(feed.job.file), std::ios::binary | std::ios::trunc);
    return out.is_open() || CannotWrite(feed, listed);
}

bool HoldEntry(SpanFeed& feed, const ListedEntry& listed, std::uint64_t region) {
    if (!OpenEntryFile(feed, listed, feed.job.out)) return false;
    feed.job.index = listed.localOffset;
    feed.job.entry = EntryOf(feed.plan.directory, listed);
    feed.job.bytes.reserve(static_cast<std::size_t>(region));
    feed.job.check = DigestCheck(feed.job.entry.contentSha256);
    feed.heldLeft = region;
    feed.holding = true;
    return true;
}

bool StartEntry(SpanFeed& feed, const ListedEntry& listed) {
    feed.job = EntryJob{};
    const std::uint64_t region = RegionSize(listed);
    if (region <= kHeldEntry) return HoldEntry(feed, listed, region);
    if (!OpenEntryFile(feed, listed, feed.out)) return false;
    const ZipEntry entry = EntryOf(feed.plan.directory, listed);
    feed.check = DigestCheck(entry.contentSha256);
    StartEntryDecoder(feed.decoder, entry, region, [&feed](const unsigned char* data, std::size_t size) {
        if (feed.check.add) feed.check.add(data, size);
        feed.out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        return static_cast<bool>(feed.out);
    });
    feed.decoding = true;
    return true;
}

// The held entry is whole: its file goes on the written list now, to be
// flushed only if the pool decodes every entry.
bool SubmitHeld(SpanFeed& feed) {
    feed.holding = false;
    ++feed.next;
    feed.written->push_back(feed.job.file);
    return SubmitEntry(feed.pool, std::move(feed.job));
}

bool FinishEntry(SpanFeed& feed, const ListedEntry& listed) {
    feed.out.close();
    feed.decoding = false;
    ++feed.next;
    if (feed.check.matches && !feed.check.matches()) {
        feed.why = Describe(feed.plan.directory, listed) + L": its content does not match its digest";
        return false;
    }
    if (!feed.out) return CannotWrite(feed, listed);
    if (listed.madeBy >> 8 == kHostUnix) ApplyUnixMode(feed.job.file, listed.externalAttributes >> 16);
    feed.written->push_back(feed.job.file);
    return true;
}

std::size_t TakeHeld(SpanFeed& feed, const unsigned char* data, std::size_t size) {
    const auto used = static_cast<std::size_t>(std::min<std::uint64_t>(size, feed.heldLeft));
    feed.job.bytes.append(reinterpret_cast<const char*>(data), used);
    feed.heldLeft -= used;
    return used;
}

bool Feed(SpanFeed& feed, const unsigned char* data, std::size_t size) {
    feed.plan.fetchedBytes += size;
    ReportWork(feed.plan.fetchedBytes, feed.plan.plannedBytes);
    while (size > 0) {
        std::size_t used = size;  // bytes after the last entry are passed over
        if (feed.holding) {
            used = TakeHeld(feed, data, size);
            if (feed.heldLeft == 0 && !SubmitHeld(feed)) return false;
        } else if (feed.decoding) {
            const ListedEntry& listed = *feed.span.entries[feed.next];
            if (FeedEntryDecoder(feed.decoder, data, size, used) == DecodeStage::Failed) {
                feed.why = Describe(feed.plan.directory, listed) + L": " + feed.decoder.why;
                return false;
            }
            if (feed.decoder.stage == DecodeStage::Done && !FinishEntry(feed, listed)) return false;
        } else if (feed.next < feed.span.entries.size()) {
            const ListedEntry& listed = *feed.span.entries[feed.next];
            if (feed.position == listed.localOffset) {
                if (!StartEntry(feed, listed)) return false;
                used = 0;
            } else {
                used = static_cast<std::size_t>(std::min<std::uint64_t>(size, listed.localOffset - feed.position));
            }
        }
        feed.position += used;
        data += used;
        size -= used;
    }
    return true;
}

// Fetches the spans one after the other, every entry in the pool's hands or written.
DeltaEnd FetchSpans(DifferentialPlan& plan, const fs::path& extractDir, EntryPool& pool, std::vector<fs::path>& written,
    std::wstring& why) {
    EntryDecoder decoder;
    for (const FetchSpan& span : plan.spans) {
        SpanFeed feed{span, extractDir, plan, pool, decoder, span.from};
        feed.written = &written;
        const RemoteRead read =
            ReadRemoteRange(plan.package, span.from, span.to, [&](const char* data, std::size_t size) {
                return Feed(feed, reinterpret_cast<const unsigned char*>(data), size);
            });
        if (read.end == RemoteEnd::SinkRefused) {
            why = feed.why;
            return DeltaEnd::FallBack;
        }
        if (read.end != RemoteEnd::Complete) return EndOf(read, why);
        if (feed.next != span.entries.size()) {
            why = Describe(plan.directory, *span.entries[feed.next]) +
                  L": its data runs past where the next record begins";
            return DeltaEnd::FallBack;
        }
    }
    return DeltaEnd::Ready;
}

}  // namespace

DeltaEnd PlanDifferentialUpdate(const std::wstring& url, const fs::path& installDir, const fs::path& extractDir,
    const PackageCheck& check, const DownloadEnvironment& environment, DifferentialPlan& plan, std::wstring& why,
    const DeltaLimits& limits) {
    plan.package = StartRemotePackage(
        url, plan.probed.total != 0 ? std::optional(plan.probed.total) : DeclaredSize(check), environment);
    plan.package.validator = plan.probed.validator;
    // A checked release whose directory cannot be authenticated: none is read.
    if (check.sha256 && !check.indexSha256) {
        why = L"version.txt names no update-index-sha256";
        return DeltaEnd::FallBack;
    }
    RemoteRead read = LearnRemoteSize(plan.package);
    if (read.end == RemoteEnd::Complete && plan.package.size <= limits.smallestPackage)
        read = {RemoteEnd::FallBack, L"the package is smaller than its directory's search"};
    if (read.end == RemoteEnd::Complete)
        read = ReadRemoteDirectory(plan.package, check.indexSha256, plan.directory, limits.listing, plan.tailFile);
    if (read.end != RemoteEnd::Complete) return EndOf(read, why);
    why = RefusalOfUncheckable(check, plan.directory);
    if (!why.empty()) return DeltaEnd::FallBack;
    const auto budget = static_cast<std::uint64_t>(limits.largestShare * static_cast<double>(plan.package.size));
    PlanSpans(CompareWithInstallation(installDir, extractDir, budget, plan), limits, plan);
    if (plan.plannedBytes > budget) {
        why = L"the changed files take more than " + std::to_wstring(budget) + L" of its " +
              std::to_wstring(plan.package.size) + L" bytes";
        return DeltaEnd::FallBack;
    }
    return DeltaEnd::Ready;
}

DeltaEnd FetchChangedEntries(DifferentialPlan& plan, const fs::path& extractDir, std::wstring& why) {
    EntryPool pool;
    pool.besideDownload = true;
    StartEntryPool(pool, {}, {}, EntryThreadCount());
    std::vector<fs::path> written;
    const DeltaEnd end = FetchSpans(plan, extractDir, pool, written, why);
    // Every entry the pool was given lies before any that failed here, so a
    // failure of the pool's is the first in the package.
    std::wstring pooledWhy;
    if (!FinishEntryPool(pool, pooledWhy)) {
        why = pooledWhy;
        return DeltaEnd::FallBack;
    }
    if (end != DeltaEnd::Ready) return end;
    // The fetched files' bytes reach the disk before anything is placed (on
    // Windows no later step flushes them).
    if (!FlushFilesToDisk(written)) {
        why = L"the fetched files cannot be flushed to the disk";
        return DeltaEnd::FallBack;
    }
    return DeltaEnd::Ready;
}

std::uint64_t BytesToWrite(const DifferentialPlan& plan) {
    std::uint64_t bytes = 0;
    for (const FetchSpan& span : plan.spans)
        for (const ListedEntry* listed : span.entries) bytes += SizeOnDisk(listed->uncompressedSize);
    return bytes;
}

PackageListing ListingOf(const DifferentialPlan& plan) {
    PackageListing listing;
    for (const auto& listed : plan.directory.entries) {
        fs::path relative = RelativePath(plan.directory, listed);
        if (relative.empty()) continue;
        if (!listed.isDirectory) {
            listing.files.insert(relative.native());
            relative = relative.parent_path();
        }
        for (; !relative.empty(); relative = relative.parent_path()) listing.directories.insert(relative.native());
    }
    return listing;
}
