#include "worker/maps_stage.h"

#include "base/decimal.h"
#include "base/log.h"
#include "base/text.h"
#include "front_end_channel/progress.h"
#include "userdata/data_directory.h"
#include "userdata/maps_package.h"
#include "worker/progress_span.h"
#include "worker/room_check.h"

namespace {

bool ReportMapsFailure() {
    LogLine(L"maps.zip update skipped/failed.");
    PostStatus(L"Maps update skipped/failed.");
    return false;
}

}  // namespace

bool RunMapsStage(const PackageCheck& check) {
    PostStatus(L"Preparing maps & data...");
    PostProgress(kMapsPercent);
    const auto dataDir = ResolveDataDirectory();
    if (dataDir.empty()) {
        LogLine(L"Could not resolve Documents data directory.");
        return false;
    }
    LogLine(L"AF Data dir: " + PathToWide(dataDir));

    // The package and its maps unpacked beside it, each at least the declared size.
    std::uint64_t declared = 0;
    if (check.size && ParseDecimal(*check.size, declared) &&
        !HasRoomFor(L"maps.zip", 2 * declared, dataDir, L"the data directory's drive", L"maps refresh skipped."))
        return ReportMapsFailure();

    // Until a new package is here and read whole, the player's maps stay as they are.
    PostStatus(L"Downloading maps...");
    BeginProgressSpan(kMapsDownloadSpan, WorkUnit::Bytes);
    const bool downloaded = DownloadMapsPackage(dataDir, check) && VerifyMapsPackage(dataDir);
    EndProgressSpan();
    if (!downloaded) return ReportMapsFailure();
    PostStatus(L"Cleaning Documents data...");
    CleanDataDirectory(dataDir);
    BeginProgressSpan(kMapsExtractionSpan, WorkUnit::Entries);
    const bool extracted = ExtractMapsPackage(dataDir);
    EndProgressSpan();
    if (!extracted) return ReportMapsFailure();
    LogLine(L"maps.zip extracted successfully.");
    PostStatus(L"Maps updated.");
    return true;
}
