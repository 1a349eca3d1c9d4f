#include "delta/differential_update.h"

#include <algorithm>
#include <fstream>
#include <memory>
#include <unordered_set>

#include "base/decimal.h"
#include "base/long_path.h"
#include "base/text.h"
#include "base/work_progress.h"
#include "delta/installed_files.h"
#include "integrity/sha256.h"
#include "rules/own_executable.h"
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

// A checked release (version.txt names the package's digest) is fetched in
// pieces only when the directory and every file's content can be checked too.
std::wstring RefusalOfUncheckable(const PackageCheck& check, const RemoteDirectory& directory) {
    if (!check.sha256) return {};
    if (!check.indexSha256) return L"version.txt names no update-index-sha256";
    for (const auto& listed : directory.entries)
        if (!listed.isDirectory && listed.entry.contentSha256.empty())
            return DescribeEntry(listed.entry) + L" carries no content digest";
    return {};
}

// The entries whose installed file differs, by offset; counts the rest. Once
// the changed entries take more than `budget` bytes of the package, no more
// files are read: the whole package will be fetched anyway.
std::vector<const ListedEntry*> CompareWithInstallation(
    const fs::path& installDir, const fs::path& extractDir, std::uint64_t budget, DifferentialPlan& plan) {
    const InstalledSizes installed = ListInstalledFiles(installDir, extractDir);
    std::vector<std::pair<const ListedEntry*, const fs::path::string_type*>> sameSize;
    std::vector<const ListedEntry*> changed;
    std::uint64_t toRead = 0, read = 0, changedBytes = 0;
    for (const auto& listed : plan.directory.entries) {
        if (listed.isDirectory) continue;
        ++plan.files;
        const auto found = installed.find(listed.relative.native());
        if (found == installed.end() || found->second != listed.entry.uncompressedSize) {
            changed.push_back(&listed);
            changedBytes += RegionSize(listed);
            continue;
        }
        sameSize.emplace_back(&listed, &found->first);
        toRead += found->second;
    }
    for (const auto& [listed, relative] : sameSize) {
        if (changedBytes > budget) break;
        const fs::path file = installDir / fs::path(*relative);
        std::uint32_t crc = 0;
        const bool readWhole = FileCrc32(file, crc, [&](std::uint64_t bytes) { ReportWork(read += bytes, toRead); });
        if (!readWhole || crc != listed->entry.crc) {
            changed.push_back(listed);
            changedBytes += RegionSize(*listed);
            continue;
        }
        ++plan.upToDate;
        plan.unchanged.push_back(listed);
        if (!listed->relative.has_parent_path() && IsRunningExecutable(file)) plan.updaterUpToDate = true;
    }
    std::sort(
        changed.begin(), changed.end(), [](auto* a, auto* b) { return a->entry.localOffset < b->entry.localOffset; });
    return changed;
}

// One range per changed entry, from its local header to the next entry, with
// neighbours closer than the merge gap joined.
void PlanSpans(const std::vector<const ListedEntry*>& changed, const DeltaLimits& limits, DifferentialPlan& plan) {
    for (const ListedEntry* listed : changed) {
        const std::uint64_t from = listed->entry.localOffset;
        if (plan.spans.empty() || from - plan.spans.back().to >= limits.mergeGap)
            plan.spans.push_back({from, from, {}});
        plan.spans.back().to = listed->regionEnd;
        plan.spans.back().entries.push_back(listed);
    }
    for (const auto& span : plan.spans) plan.plannedBytes += span.to - span.from;
    plan.changed = changed.size();
}

// The changed entries of every span, in the order the spans are fetched.
TargetSource SpanTargets(const DifferentialPlan& plan) {
    return [&plan, span = std::size_t{0}, index = std::size_t{0}](StreamTarget& next) mutable {
        for (; span < plan.spans.size(); ++span, index = 0)
            if (index < plan.spans[span].entries.size()) {
                next = TargetOf(*plan.spans[span].entries[index++]);
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

DeltaEnd PlanDifferentialUpdate(const std::wstring& url, const fs::path& installDir, const fs::path& extractDir,
    const PackageCheck& check, const DownloadEnvironment& environment, DifferentialPlan& plan, std::wstring& why,
    const DeltaLimits& limits) {
    plan.package = StartRemotePackage(url, DeclaredSize(check), environment);
    RemoteRead read = LearnRemoteSize(plan.package);
    if (read.end == RemoteEnd::Complete && plan.package.size <= limits.smallestPackage)
        read = {RemoteEnd::FallBack, L"the package is smaller than its directory's search"};
    if (read.end == RemoteEnd::Complete) read = ReadRemoteDirectory(plan.package, check.indexSha256, plan.directory);
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
    const std::unordered_set<const ListedEntry*> unchanged(plan.unchanged.begin(), plan.unchanged.end());
    auto entries = std::make_shared<std::vector<const ListedEntry*>>();
    for (const auto& listed : plan.directory.entries)
        if (!unchanged.contains(&listed)) entries->push_back(&listed);
    std::sort(
        entries->begin(), entries->end(), [](auto* a, auto* b) { return a->entry.localOffset < b->entry.localOffset; });
    return [entries, index = std::size_t{0}](StreamTarget& next) mutable {
        if (index == entries->size()) return false;
        next = TargetOf(*(*entries)[index++]);
        return true;
    };
}

StreamTarget TargetOf(const ListedEntry& listed) {
    return {listed.entry, listed.relative, listed.isDirectory, RegionSize(listed)};
}

PackageListing ListingOf(const DifferentialPlan& plan) {
    PackageListing listing;
    for (const auto& listed : plan.directory.entries) {
        fs::path relative = listed.relative;
        if (relative.empty()) continue;
        if (!listed.isDirectory) {
            listing.files.insert(relative.native());
            relative = relative.parent_path();
        }
        for (; !relative.empty(); relative = relative.parent_path()) listing.directories.insert(relative.native());
    }
    return listing;
}
