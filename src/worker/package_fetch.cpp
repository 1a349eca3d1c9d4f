#include "worker/package_fetch.h"

#include "base/log.h"
#include "base/tree_walk.h"
#include "delta/differential_update.h"
#include "delta/index_record.h"
#include "front_end_channel/progress.h"
#include "net/download.h"
#include "net/update_server.h"
#include "worker/progress_span.h"
#include "zip/package_stream.h"

namespace {

void Report(const wchar_t* status, int percent) {
    PostStatus(status);
    PostProgress(percent);
}

// Fetches the changed entries into a fresh extraction directory, made only
// once there is something to fetch.
DeltaEnd FetchDifferentially(const std::filesystem::path& installDir, const std::filesystem::path& extraction,
    const PackageCheck& check, const DownloadEnvironment& environment, DifferentialPlan& plan, std::wstring& why) {
    RemoveTree(extraction);
    Report(L"Comparing installed files...", kComparisonSpan.from);
    BeginProgressSpan(kComparisonSpan, WorkUnit::Bytes);
    DeltaEnd end = PlanDifferentialUpdate(UpdatePackageUrls(), installDir, extraction, check, environment, plan, why);
    EndProgressSpan();
    if (end != DeltaEnd::Ready) return end;
    EmptyDirectory(extraction);
    Report(L"Downloading changed files...", kChangedEntriesSpan.from);
    BeginProgressSpan(kChangedEntriesSpan, WorkUnit::Bytes);
    end = FetchChangedEntries(plan, extraction, why);
    EndProgressSpan();
    return end;
}

// Starts unpacking the whole package as it arrives, when that writes nothing
// unchecked: a checked release by the directory the differential attempt read
// and checked (its entries only, each bounded and checked by what it lists),
// an unchecked one by its local headers. A checked release whose directory
// was not checked is unpacked once its SHA-256 matched.
void StartUnpacking(PackageStream& stream, const std::filesystem::path& extraction, const PackageCheck& check,
    const DifferentialPlan& plan, DownloadEnvironment& environment) {
    bool started = false;
    if (!check.sha256)
        started = StartPackageStream(stream, extraction);
    else if (plan.directoryChecked)
        started = StartPackageStream(stream, extraction, PackageTargets(plan), ContentDigestCheck);
    if (started)
        environment.stored = [&stream](std::uint64_t offset, const char* data, std::size_t size) {
            FeedPackageStream(stream, offset, data, size);
        };
}

}  // namespace

FetchedPackage FetchUpdatePackage(const std::filesystem::path& package, const std::filesystem::path& extraction,
    const PackageCheck& check, const DownloadEnvironment& environment) {
    FetchedPackage fetched;
    const std::vector<std::wstring> urls = UpdatePackageUrls();
    DifferentialPlan plan;
    if (!HasResumablePart(urls, package, check)) {
        std::wstring why;
        const DeltaEnd end = FetchDifferentially(package.parent_path(), extraction, check, environment, plan, why);
        // What the comparison read stays known, should the whole package not come either.
        if (end != DeltaEnd::Ready) AddComparedFiles(fetched.installed, plan);
        if (end == DeltaEnd::GaveUp) return fetched;
        if (end == DeltaEnd::Ready) {
            LogLine(L"update.zip: " + std::to_wstring(plan.files) + L" files, " + std::to_wstring(plan.upToDate) +
                    L" up to date, " + std::to_wstring(plan.changed) + L" fetched in " +
                    std::to_wstring(plan.package.requests) + L" requests (" + std::to_wstring(plan.package.received) +
                    L" bytes)");
            fetched = {PackageFetch::Differential, ListingOf(plan), plan.updaterUpToDate};
            AddPlannedFiles(fetched.installed, plan);
            return fetched;
        }
        LogLine(L"update.zip: " + why + L"; downloading the whole package");
        RemoveTree(extraction);
        Report(L"Update available. Downloading update package...", kPackageStartPercent);
    }
    // The directory is kept only for a stream that goes by it.
    if (!check.sha256 || !plan.directoryChecked) plan = DifferentialPlan{};
    EmptyDirectory(extraction);
    PackageStream stream;
    DownloadEnvironment unpacking = environment;
    StartUnpacking(stream, extraction, check, plan, unpacking);
    BeginProgressSpan(kPackageDownloadSpan, WorkUnit::Bytes);
    const bool downloaded = DownloadPackage(urls, package, check, unpacking);
    EndProgressSpan();
    if (!downloaded) StopPackageStream(stream);
    fetched.streamed = FinishPackageStream(stream);
    if (!downloaded) RemoveTree(extraction);  // with the folders the stream made
    if (fetched.streamed.byDirectory) {
        fetched.listing = ListingOf(plan);
        fetched.updaterUpToDate = plan.updaterUpToDate;
    }
    fetched.how = downloaded ? PackageFetch::Whole : PackageFetch::Failed;
    return fetched;
}
