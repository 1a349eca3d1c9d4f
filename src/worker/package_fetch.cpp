#include "worker/package_fetch.h"

#include <functional>

#include "base/decimal.h"
#include "base/file_system.h"
#include "base/log.h"
#include "base/tree_walk.h"
#include "delta/differential_update.h"
#include "front_end_channel/progress.h"
#include "net/download.h"
#include "net/update_server.h"
#include "worker/progress_span.h"
#include "worker/room_check.h"
#include "zip/package_stream.h"

namespace {

void Report(const wchar_t* status, int percent) {
    PostStatus(status);
    PostProgress(percent);
}

// Reads the directory and compares, with a fresh extraction directory.
DeltaEnd PlanDifferentially(const std::filesystem::path& installDir, const std::filesystem::path& extraction,
    const PackageCheck& check, const DownloadEnvironment& environment, DifferentialPlan& plan, std::wstring& why) {
    RemoveTree(extraction);
    Report(L"Comparing installed files...", 15);
    BeginProgressSpan(15, 25, WorkUnit::Bytes);
    const DeltaEnd end =
        PlanDifferentialUpdate(UpdatePackageUrl(), installDir, extraction, check, environment, plan, why);
    EndProgressSpan();
    return end;
}

// Fetches the changed entries into the extraction directory, made only once
// there is something to fetch.
DeltaEnd FetchPlanned(const std::filesystem::path& extraction, DifferentialPlan& plan, std::wstring& why) {
    EmptyDirectory(extraction);
    Report(L"Downloading changed files...", 25);
    BeginProgressSpan(25, 35, WorkUnit::Bytes);
    const DeltaEnd end = FetchChangedEntries(plan, extraction, why);
    EndProgressSpan();
    return end;
}

bool HasRoomOnGameDrive(std::uint64_t bytes, const std::filesystem::path& installDir) {
    return HasRoomFor(L"update.zip", bytes, installDir, L"the game's drive", L"update skipped.");
}

// What the whole package writes on the game's drive: the package, and its
// files unpacked beside it. Their sizes come from the directory when it was
// read; else the package's own size stands for them (a package rarely
// unpacks to less). With no size known, none.
std::optional<std::uint64_t> WholePackageBytes(const DifferentialPlan& plan, const PackageCheck& check) {
    std::uint64_t package = plan.package.size;
    if (package == 0 && !(check.size && ParseDecimal(*check.size, package))) return std::nullopt;
    return package + (plan.directory.entries.empty() ? package : UnpackedSize(plan.directory));
}

// The package through the stream, unpacked into the extraction directory as
// it arrives: the download, or the probe that becomes it.
PackageProbe StreamWholePackage(const std::filesystem::path& extraction, FetchedPackage& fetched,
    const std::function<PackageProbe(const DownloadEnvironment&)>& download) {
    EmptyDirectory(extraction);
    PackageStream stream;
    DownloadEnvironment environment = RealDownloadEnvironment();
    if (StartPackageStream(stream, extraction))
        environment.stored = [&stream](std::uint64_t offset, const char* data, std::size_t size) {
            FeedPackageStream(stream, offset, data, size);
        };
    BeginProgressSpan(15, 35, WorkUnit::Bytes);
    const PackageProbe probe = download(environment);
    EndProgressSpan();
    fetched.streamed = FinishPackageStream(stream);
    return probe;
}

FetchedPackage Ended(PackageFetch how, const std::filesystem::path& package, const std::filesystem::path& tailFile) {
    DiscardPartialDownload(package);
    RemoveQuietly(tailFile);
    return {how};
}

}  // namespace

FetchedPackage FetchUpdatePackage(
    const std::filesystem::path& package, const std::filesystem::path& extraction, const PackageCheck& check) {
    FetchedPackage fetched;
    const std::wstring url = UpdatePackageUrl();
    const std::filesystem::path installDir = package.parent_path();
    DifferentialPlan plan;
    std::filesystem::path tailFile = package;
    tailFile += ".tail.updater.part";
    RemoveQuietly(tailFile);  // what a killed start left
    if (!HasResumablePart(url, package, check)) {
        // Byte 0 alone first: a server without ranges answers with the whole
        // package, and that answer is the download.
        const auto roomFor = [&](std::uint64_t total) {
            plan.package.size = total;
            const std::optional<std::uint64_t> whole = WholePackageBytes(plan, check);
            return !whole || HasRoomOnGameDrive(*whole, installDir);
        };
        const PackageProbe probe = StreamWholePackage(extraction, fetched, [&](const DownloadEnvironment& environment) {
            return ProbePackage(url, package, check, environment, roomFor, plan.probed);
        });
        if (probe == PackageProbe::NoRoom) return Ended(PackageFetch::NoRoom, package, tailFile);
        if (probe != PackageProbe::RangesServed) {
            fetched.how = probe == PackageProbe::Downloaded ? PackageFetch::Whole : PackageFetch::Failed;
            return fetched;
        }
        fetched.streamed = {};
        plan.tailFile = tailFile;
        const DownloadEnvironment environment = RealDownloadEnvironment();
        std::wstring why;
        DeltaEnd end = PlanDifferentially(installDir, extraction, check, environment, plan, why);
        if (end == DeltaEnd::Ready && !HasRoomOnGameDrive(BytesToWrite(plan), installDir))
            return Ended(PackageFetch::NoRoom, package, tailFile);
        if (end == DeltaEnd::Ready) end = FetchPlanned(extraction, plan, why);
        if (end == DeltaEnd::GaveUp) return Ended(PackageFetch::Failed, package, tailFile);
        if (end == DeltaEnd::Ready) {
            // The probe's request too.
            LogLine(L"update.zip: " + std::to_wstring(plan.files) + L" files, " + std::to_wstring(plan.upToDate) +
                    L" up to date, " + std::to_wstring(plan.changed) + L" fetched in " +
                    std::to_wstring(plan.package.requests + 1) + L" requests (" +
                    std::to_wstring(plan.package.received) + L" bytes)");
            Ended(PackageFetch::Differential, package, tailFile);
            return {PackageFetch::Differential, ListingOf(plan), plan.updaterUpToDate};
        }
        LogLine(L"update.zip: " + why + L"; downloading the whole package");
        RemoveTree(extraction);
        Report(L"Update available. Downloading update package...", 15);
    }
    const std::optional<std::uint64_t> whole = WholePackageBytes(plan, check);
    if (whole && !HasRoomOnGameDrive(*whole, installDir)) return Ended(PackageFetch::NoRoom, package, tailFile);
    // What the directory's read fetched is not fetched again.
    std::optional<HeldTail> tail;
    if (plan.directory.tailKept)
        tail = HeldTail{plan.directory.offset, plan.package.size, plan.package.validator, tailFile};
    plan = DifferentialPlan{};  // the listing is not held through the download
    const PackageProbe downloaded =
        StreamWholePackage(extraction, fetched, [&](const DownloadEnvironment& environment) {
            const bool done = DownloadPackage(url, package, check, environment, tail ? &*tail : nullptr);
            return done ? PackageProbe::Downloaded : PackageProbe::Failed;
        });
    RemoveQuietly(tailFile);
    fetched.how = downloaded == PackageProbe::Downloaded ? PackageFetch::Whole : PackageFetch::Failed;
    return fetched;
}
