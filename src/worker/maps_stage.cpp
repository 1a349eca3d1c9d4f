#include "worker/maps_stage.h"

#include "loader/progress.h"
#include "services/log.h"
#include "services/text.h"
#include "userdata/data_directory.h"
#include "userdata/maps_package.h"
#include "worker/progress_span.h"

namespace {

void ReportMapsFailure() {
    LogLine(L"maps.zip update skipped/failed.");
    PostStatus(L"Maps update skipped/failed.");
}

}  // namespace

void RunMapsStage(const PackageCheck& check) {
    PostStatus(L"Preparing maps & data...");
    PostProgress(96);
    const auto dataDir = ResolveDataDirectory();
    if (dataDir.empty()) {
        LogLine(L"Could not resolve Documents data directory.");
        return;
    }
    LogLine(L"AF Data dir: " + PathToWide(dataDir));

    // Until the new package is here the player's maps stay as they are.
    PostStatus(L"Downloading maps...");
    BeginProgressSpan(96, 98, WorkUnit::Bytes);
    const bool downloaded = DownloadMapsPackage(dataDir, check);
    EndProgressSpan();
    if (!downloaded) {
        ReportMapsFailure();
        return;
    }
    PostStatus(L"Cleaning Documents data...");
    CleanDataDirectory(dataDir);
    BeginProgressSpan(98, 99, WorkUnit::Entries);
    const bool extracted = ExtractMapsPackage(dataDir);
    EndProgressSpan();
    if (!extracted) {
        ReportMapsFailure();
        return;
    }
    LogLine(L"maps.zip extracted successfully.");
    PostStatus(L"Maps updated.");
}
