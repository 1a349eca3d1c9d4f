#include "worker/package_fetch.h"

#include <functional>

#include "base/decimal.h"
#include "base/file_system.h"
#include "base/give_back.h"
#include "base/log.h"
#include "base/tree_walk.h"
#include "delta/differential_update.h"
#include "delta/index_record.h"
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
DeltaEnd PlanDifferentially(const std::vector<std::wstring>& urls, const std::filesystem::path& installDir,
    const std::filesystem::path& extraction, const PackageCheck& check, const DownloadEnvironment& environment,
    DifferentialPlan& plan, std::wstring& why) {
    RemoveTree(extraction);
    Report(L"Comparing installed files...", kComparisonSpan.from);
    BeginProgressSpan(kComparisonSpan, WorkUnit::Bytes);
    const DeltaEnd end = PlanDifferentialUpdate(urls, installDir, extraction, check, environment, plan, why);
    EndProgressSpan();
    return end;
}

// Fetches the changed entries into the extraction directory, made only once
// there is something to fetch.
DeltaEnd FetchPlanned(const std::filesystem::path& extraction, DifferentialPlan& plan, std::wstring& why) {
    EmptyDirectory(extraction);
    Report(L"Downloading changed files...", kChangedEntriesSpan.from);
    BeginProgressSpan(kChangedEntriesSpan, WorkUnit::Bytes);
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

// Starts unpacking the whole package as it arrives, when that writes nothing
// unchecked: a checked release by the directory the differential attempt read
// and checked (its entries only, each bounded and checked by what it lists),
// an unchecked one by its local headers. A checked release whose directory
// was not checked is unpacked once its SHA-256 matched.
void StartUnpacking(PackageStream& stream, const std::filesystem::path& extraction, const PackageCheck& check,
    const DifferentialPlan& plan, DownloadEnvironment& environment, InstalledEntries& inPlace) {
    bool started = false;
    if (!check.sha256)
        started = StartPackageStream(stream, extraction, {}, {}, InstalledCheck(inPlace));
    else if (plan.directoryChecked)
        started = StartPackageStream(stream, extraction, PackageTargets(plan), ContentDigestCheck);
    if (started)
        environment.stored = [&stream](std::uint64_t offset, const char* data, std::size_t size) {
            FeedPackageStream(stream, offset, data, size);
        };
}

// The package through the stream, unpacked into the extraction directory as
// it arrives: the download, or the probe that becomes it. Anything but a
// download stops the stream and removes what it wrote.
PackageProbe StreamWholePackage(const std::filesystem::path& extraction, const PackageCheck& check,
    DifferentialPlan& plan, const DownloadEnvironment& environment, FetchedPackage& fetched,
    const std::function<PackageProbe(const DownloadEnvironment&)>& download) {
    EmptyDirectory(extraction);
    PackageStream stream;
    DownloadEnvironment unpacking = environment;
    fetched.inPlace.leftInPlace = 0;
    fetched.inPlace.updaterLeftInPlace = false;
    StartUnpacking(stream, extraction, check, plan, unpacking, fetched.inPlace);
    BeginProgressSpan(kPackageDownloadSpan, WorkUnit::Bytes);
    const PackageProbe probe = download(unpacking);
    EndProgressSpan();
    const bool downloaded = probe == PackageProbe::Downloaded;
    if (!downloaded) StopPackageStream(stream);
    fetched.streamed = FinishPackageStream(stream);
    if (!downloaded) {
        GiveBack(fetched.streamed);
        RemoveTree(extraction);  // with the folders the stream made
    }
    if (fetched.streamed.byDirectory) {
        fetched.listing = TakeListing(plan);
        fetched.updaterUpToDate = plan.updaterUpToDate;
        fetched.inPlace.leftInPlace = plan.upToDate;
    }
    return probe;
}

FetchedPackage Ended(FetchedPackage fetched, PackageFetch how, const std::filesystem::path& package,
    const std::filesystem::path& tailFile) {
    DiscardPartialDownload(package);
    RemoveQuietly(tailFile);
    fetched.how = how;
    return fetched;
}

void LogDifferentialUpdate(const DifferentialPlan& plan) {
    // The probe's request too.
    LogLine(L"update.zip: " + std::to_wstring(plan.files) + L" files, " + std::to_wstring(plan.upToDate) +
            L" up to date, " + std::to_wstring(plan.changed) + L" fetched in " +
            std::to_wstring(plan.package.requests + 1) + L" requests (" + std::to_wstring(plan.package.received) +
            L" bytes)");
}

// Only the changed entries, once the probe found ranges served. True when the
// step ends here (`fetched`: Differential, NoRoom or Failed); false when the
// whole package is to be downloaded (logged why).
bool FetchDifferentially(const std::vector<std::wstring>& urls, const std::filesystem::path& package,
    const std::filesystem::path& extraction, const PackageCheck& check, const DownloadEnvironment& environment,
    DifferentialPlan& plan, FetchedPackage& fetched) {
    const std::filesystem::path installDir = package.parent_path();
    std::wstring why;
    DeltaEnd end = PlanDifferentially(urls, installDir, extraction, check, environment, plan, why);
    if (end == DeltaEnd::Ready && !HasRoomOnGameDrive(BytesToWrite(plan), installDir)) {
        fetched = Ended(std::move(fetched), PackageFetch::NoRoom, package, plan.tailFile);
        return true;
    }
    if (end == DeltaEnd::Ready) end = FetchPlanned(extraction, plan, why);
    if (end == DeltaEnd::Ready) {
        LogDifferentialUpdate(plan);
        GiveBack(fetched);
        fetched.updaterUpToDate = plan.updaterUpToDate;
        TakePlannedFiles(fetched.installed, fetched.listing, plan);
        fetched = Ended(std::move(fetched), PackageFetch::Differential, package, plan.tailFile);
        return true;
    }
    // What the comparison read stays known, should the whole package not come
    // either; its up-to-date files stay in place when it does.
    AddComparedEntries(fetched.inPlace, plan);
    if (end == DeltaEnd::GaveUp) {
        fetched = Ended(std::move(fetched), PackageFetch::Failed, package, plan.tailFile);
        return true;
    }
    LogLine(L"update.zip: " + why + L"; downloading the whole package");
    RemoveTree(extraction);
    Report(L"Update available. Downloading update package...", kPackageStartPercent);
    return false;
}

}  // namespace

FetchedPackage FetchUpdatePackage(const std::filesystem::path& package, const std::filesystem::path& extraction,
    const PackageCheck& check, const DownloadEnvironment& environment) {
    FetchedPackage fetched;
    const std::vector<std::wstring> urls = UpdatePackageUrls();
    const std::filesystem::path installDir = package.parent_path();
    fetched.inPlace.installDir = installDir;
    std::filesystem::path tailFile = package;
    tailFile += ".tail.updater.part";
    RemoveQuietly(tailFile);  // what a killed start left
    DifferentialPlan plan;
    if (!HasResumablePart(urls, package, check)) {
        // Byte 0 alone first: a server without ranges answers with the whole
        // package, and that answer is the download.
        const auto roomFor = [&](std::uint64_t total) {
            plan.package.size = total;
            const std::optional<std::uint64_t> whole = WholePackageBytes(plan, check);
            return !whole || HasRoomOnGameDrive(*whole, installDir);
        };
        const PackageProbe probe = StreamWholePackage(
            extraction, check, plan, environment, fetched, [&](const DownloadEnvironment& unpacking) {
                return ProbePackage(urls, package, check, unpacking, roomFor, plan.probed);
            });
        if (probe == PackageProbe::NoRoom) return Ended(std::move(fetched), PackageFetch::NoRoom, package, tailFile);
        if (probe != PackageProbe::RangesServed) {
            fetched.how = probe == PackageProbe::Downloaded ? PackageFetch::Whole : PackageFetch::Failed;
            return fetched;
        }
        plan.tailFile = tailFile;
        if (FetchDifferentially(urls, package, extraction, check, environment, plan, fetched)) return fetched;
    }
    const std::optional<std::uint64_t> whole = WholePackageBytes(plan, check);
    if (whole && !HasRoomOnGameDrive(*whole, installDir))
        return Ended(std::move(fetched), PackageFetch::NoRoom, package, tailFile);
    // What the directory's read fetched is not fetched again.
    std::optional<HeldTail> tail;
    if (plan.directory.tailKept)
        tail = HeldTail{
            plan.directory.found.offset, plan.package.size, plan.package.validator, plan.package.url, tailFile};
    // The listing is held through the download only for a stream that goes by it.
    if (!check.sha256 || !plan.directoryChecked) GiveBack(plan);
    const PackageProbe downloaded =
        StreamWholePackage(extraction, check, plan, environment, fetched, [&](const DownloadEnvironment& unpacking) {
            const bool done = DownloadPackage(urls, package, check, unpacking, tail ? &*tail : nullptr);
            return done ? PackageProbe::Downloaded : PackageProbe::Failed;
        });
    RemoveQuietly(tailFile);
    fetched.how = downloaded == PackageProbe::Downloaded ? PackageFetch::Whole : PackageFetch::Failed;
    return fetched;
}
