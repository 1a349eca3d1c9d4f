#include "delta/differential_update.h"

#include <algorithm>
#include <fstream>
#include <memory>

#include "base/decimal.h"
#include "base/log.h"
#include "base/long_path.h"
#include "base/text.h"
#include "base/work_progress.h"
#include "delta/installed_files.h"
#include "delta/installed_index.h"
#include "integrity/sha256.h"
#include "rules/own_executable.h"
#include "rules/working_names.h"
#include "zip/zip_directory.h"

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

// The server that answered the package download's first request is asked
// first, with the validator it gave, so that its first byte is not asked again.
void ContinueFromProbe(RemotePackage& package, const ProbedPackage& probed) {
    if (probed.total == 0) return;
    for (std::size_t server = 0; server < package.urls.size(); ++server)
        if (package.urls[server] == probed.url) {
            package.server = server;
            package.url = probed.url;
            package.validator = probed.validator;
        }
}

// The installation's index, or an empty one when it has none or a damaged one
// (logged): every file is then read.
InstalledIndex ReadIndexOrSayWhy(const fs::path& installDir) {
    InstalledIndex index;
    std::wstring why;
    if (!ReadInstalledIndex(installDir, index, why) && !why.empty())
        LogLine(std::wstring(kInstalledIndexName) + L" is not used (" + why + L"); every file is read.");
    return index;
}

// The installed file's CRC-32: its record's when the index vouches for the
// file as it stands, else read. A file known whole goes to the plan's compared
// files, with the identity it had before it was read.
bool InstalledCrc(const fs::path& file, const ListedEntry& listed, const InstalledIndex& index, DifferentialPlan& plan,
    std::uint32_t& crc, const std::function<void(std::uint64_t)>& progress) {
    FileIdentity identity;
    const fs::path relative = RelativePath(plan.directory, listed);
    const bool identified = ReadFileIdentity(file, identity);
    const auto recorded = identified ? TrustedCrc(index, relative, identity) : std::nullopt;
    if (recorded) {
        crc = *recorded;
        progress(identity.size);
    } else if (!FileCrc32(file, crc, progress)) {
        return false;
    }
    if (!identified) return true;
    if (crc != listed.crc) plan.comparedOther.push_back(static_cast<std::uint32_t>(plan.compared.records.size()));
    AddUnnamedToIndex(plan.compared, listed.relativeAt, listed.relativeSize, crc, identity);
    return true;
}

// The package's files that are installed at their size go to `sameSize`, the
// others to `changed`; returns the bytes of the files to read. The walk's
// list is gone once it returns, before the index is read.
std::uint64_t SortBySize(const fs::path& installDir, const fs::path& extractDir, DifferentialPlan& plan,
    std::vector<ListedEntry*>& sameSize, std::vector<const ListedEntry*>& changed, std::uint64_t& changedBytes) {
    const InstalledSizes installed = ListInstalledFiles(installDir, extractDir);
    std::uint64_t toRead = 0;
    for (auto& listed : plan.directory.entries) {
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
    return toRead;
}

// The entries whose installed file differs, by offset; counts the rest. Once
// the changed entries take more than `budget` bytes of the package, no more
// files are read: the whole package will be fetched anyway.
std::vector<const ListedEntry*> CompareWithInstallation(
    const fs::path& installDir, const fs::path& extractDir, std::uint64_t budget, DifferentialPlan& plan) {
    std::vector<ListedEntry*> sameSize;
    std::vector<const ListedEntry*> changed;
    std::uint64_t read = 0, changedBytes = 0;
    const std::uint64_t toRead = SortBySize(installDir, extractDir, plan, sameSize, changed, changedBytes);
    const InstalledIndex index = ReadIndexOrSayWhy(installDir);
    // Grown by doubling, 100,000 of them would take up to twice their 5.6 MB.
    // Room for the fetched files too, which join them once fetched.
    plan.compared.records.reserve(static_cast<std::size_t>(plan.files));
    plan.comparedAll = true;
    for (ListedEntry* listed : sameSize) {
        if (changedBytes > budget) {
            plan.comparedAll = false;
            break;
        }
        const fs::path file = installDir / RelativePath(plan.directory, *listed);
        std::uint32_t crc = 0;
        const bool readWhole = InstalledCrc(
            file, *listed, index, plan, crc, [&](std::uint64_t bytes) { ReportWork(read += bytes, toRead); });
        if (!readWhole || crc != listed->crc) {
            changed.push_back(listed);
            changedBytes += RegionSize(*listed);
            continue;
        }
        ++plan.upToDate;
        listed->upToDate = true;
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

// The kept directory, opened once for all the entries a stream asks for.
std::shared_ptr<std::ifstream> OpenKept(const RemoteDirectory& directory) {
    return std::make_shared<std::ifstream>(LongPath(directory.keptIn), std::ios::binary);
}

// The changed entries of every span, in the order the spans are fetched.
TargetSource SpanTargets(const DifferentialPlan& plan) {
    return [&plan, kept = OpenKept(plan.directory), span = std::size_t{0}, index = std::size_t{0}](
               StreamTarget& next) mutable {
        for (; span < plan.spans.size(); ++span, index = 0)
            if (index < plan.spans[span].entries.size()) {
                next = TargetOf(plan.directory, *plan.spans[span].entries[index++], *kept);
                return true;
            }
        return false;
    };
}

// Fetches the spans one after the other through one entry stream: past the
// gaps, into the file of each entry below the extraction directory.
DeltaEnd FetchSpans(DifferentialPlan& plan, EntryStream& stream, std::wstring& why) {
    for (const FetchSpan& span : plan.spans) {
        std::uint64_t at = span.from;
        const RemoteRead read =
            ReadRemoteRange(plan.package, span.from, span.to, [&](const char* data, std::size_t size) {
                plan.fetchedBytes += size;
                ReportWork(plan.fetchedBytes, plan.plannedBytes);
                const bool going = FeedEntryStream(stream, at, data, size);
                at += size;
                return going;
            });
        if (read.end == RemoteEnd::SinkRefused) {
            why = stream.why;
            return DeltaEnd::FallBack;
        }
        if (read.end != RemoteEnd::Complete) return EndOf(read, why);
        if (!EntryStreamPassed(stream, span.to, why)) return DeltaEnd::FallBack;
    }
    return DeltaEnd::Ready;
}

}  // namespace

DeltaEnd PlanDifferentialUpdate(const std::vector<std::wstring>& urls, const fs::path& installDir,
    const fs::path& extractDir, const PackageCheck& check, const DownloadEnvironment& environment,
    DifferentialPlan& plan, std::wstring& why, const DeltaLimits& limits) {
    // Only a checked release's directory and entries may come from different servers.
    plan.package =
        StartRemotePackage(urls, plan.probed.total != 0 ? std::optional(plan.probed.total) : DeclaredSize(check),
            environment, check.sha256.has_value());
    ContinueFromProbe(plan.package, plan.probed);
    // A checked release whose directory cannot be authenticated: none is read.
    if (check.sha256 && !check.indexSha256) {
        why = L"version.txt names no update-index-sha256";
        return DeltaEnd::FallBack;
    }
    RemoteRead read = LearnRemoteSize(plan.package);
    if (read.end == RemoteEnd::Complete && plan.package.size <= limits.smallestPackage)
        read = {RemoteEnd::FallBack, L"the package is smaller than its directory's search"};
    if (read.end == RemoteEnd::Complete)
        read = ReadRemoteDirectory(plan.package, check.indexSha256, plan.directory, plan.tailFile, limits.listing);
    if (read.end != RemoteEnd::Complete) return EndOf(read, why);
    plan.directoryChecked = check.indexSha256.has_value();
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
    EntryStream stream;
    StartEntryStream(stream, extractDir, SpanTargets(plan), ContentDigestCheck);
    const DeltaEnd end = FetchSpans(plan, stream, why);
    std::wstring streamWhy;
    const bool complete = FinishEntryStream(stream, streamWhy);
    if (!complete && !streamWhy.empty()) {
        why = streamWhy;
        return DeltaEnd::FallBack;
    }
    if (end != DeltaEnd::Ready) return end;
    // The fetched files' bytes reach the disk before anything is placed (on
    // Windows no later step flushes them).
    if (!FlushWrittenFiles(stream.written)) {
        why = L"the fetched files cannot be flushed to the disk";
        return DeltaEnd::FallBack;
    }
    return DeltaEnd::Ready;
}

ContentCheck ContentDigestCheck(const ZipEntry& entry) {
    if (entry.contentSha256.empty()) return {};
    auto hash = std::make_shared<Sha256>(StartSha256());
    return {[hash](const unsigned char* data, std::size_t size) { AddToSha256(*hash, data, size); },
        [hash, expected = entry.contentSha256] {
            Sha256Digest digest{};
            return FinishSha256(*hash, digest) && std::string(digest.begin(), digest.end()) == expected;
        }};
}

TargetSource PackageTargets(const DifferentialPlan& plan) {
    auto entries = std::make_shared<std::vector<const ListedEntry*>>();
    for (const auto& listed : plan.directory.entries)
        if (!listed.upToDate) entries->push_back(&listed);
    std::sort(entries->begin(), entries->end(), [](auto* a, auto* b) { return a->localOffset < b->localOffset; });
    return [entries, &directory = plan.directory, kept = OpenKept(plan.directory), index = std::size_t{0}](
               StreamTarget& next) mutable {
        if (index == entries->size()) return false;
        next = TargetOf(directory, *(*entries)[index++], *kept);
        return true;
    };
}

StreamTarget TargetOf(const RemoteDirectory& directory, const ListedEntry& listed, std::ifstream& kept) {
    return {ReadListedEntry(directory, listed, kept), RelativePath(directory, listed), listed.isDirectory,
        RegionSize(listed)};
}

std::uint64_t BytesToWrite(const DifferentialPlan& plan) {
    std::uint64_t bytes = 0;
    for (const FetchSpan& span : plan.spans)
        for (const ListedEntry* listed : span.entries) bytes += SizeOnDisk(listed->uncompressedSize);
    return bytes;
}

PackageListing TakeListing(DifferentialPlan& plan) {
    PackageListing listing;
    std::vector<RelativePathList::Name> files;
    files.reserve(plan.directory.entries.size());
    for (const auto& listed : plan.directory.entries) {
        if (listed.relativeSize == 0) continue;
        const fs::path relative = RelativePath(plan.directory, listed);
        // The directories above each file, and each directory listed.
        AddToPackageListing(listing, listed.isDirectory ? relative : relative.parent_path(), true);
        if (!listed.isDirectory) files.push_back({listed.relativeAt, listed.relativeSize});
    }
    listing.files = RelativePathsIn(std::move(plan.directory.paths), std::move(files));
    return listing;
}
