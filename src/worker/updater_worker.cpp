#include "worker/updater_worker.h"

#include <chrono>
#include <thread>

#include "apply/self_update.h"
#include "base/file_system.h"
#include "base/install_directory.h"
#include "base/log.h"
#include "front_end_channel/progress.h"
#include "integrity/release_key.h"
#include "launch/game_launch.h"
#include "net/download.h"
#include "net/update_server.h"
#include "version/version_signature.h"
#include "worker/install_stage.h"
#include "worker/maps_pending.h"
#include "worker/maps_stage.h"
#include "worker/progress_span.h"

namespace {

std::wstring DescribeVersions(const wchar_t* label, const VersionInfo& info) {
    return label + Utf8ToWide(info.gameVersion) + L", updater-version=" + Utf8ToWide(info.updaterVersion);
}

VersionInfo ReadLocalVersion(const std::filesystem::path& installDir) {
    VersionInfo local{"0.0.0", "0.0.0"};
    if (!ReadVersionFile(installDir / "version.txt", local))
        LogLine(L"Local version.txt not found or unreadable. Using defaults 0.0.0.");
    LogLine(DescribeVersions(L"Local game-version=", local));
    return local;
}

// A refresh left pending by an earlier start empties the data directory, so a
// build with a release key runs it only with the maps checksums of a
// version.txt accepted in this start for the installed release. A build
// without one checks what it has, as it always did: the remote keys when
// version.txt came, none when it did not.
bool PendingMapsCanBeChecked(bool checked, const VersionInfo& local, const VersionInfo& remote) {
    return ReleasePublicKeyPem().empty() || (checked && CompareVersions(remote.gameVersion, local.gameVersion) == 0);
}

}  // namespace

std::atomic<bool> g_workerFinished{false};

bool FetchRemoteVersion(const std::filesystem::path& installDir, VersionInfo& remote) {
    const auto remoteFile = installDir / "__remote_version.txt";
    // A server whose version.txt is refused passes the turn to the next one.
    VersionInfo server{"0.0.0", "0.0.0"};
    const auto accept = [&server](const std::filesystem::path& file) {
        server = VersionInfo{"0.0.0", "0.0.0"};
        if (!RemoteVersionIsSigned(file)) return false;  // logged
        if (!ReadVersionFile(file, server)) {
            LogLine(L"Failed to parse remote version.txt. Using local versions.");
            return false;
        }
        return RemoteVersionChecksEveryByte(server);
    };
    const VersionFetch fetch = DownloadVersionFile(VersionFileUrls(), remoteFile, accept);
    if (fetch == VersionFetch::Accepted) {
        remote = server;
        LogLine(DescribeVersions(L"Remote game-version=", remote));
    } else if (fetch == VersionFetch::Failed) {
        LogLine(L"Failed to download remote version.txt. Proceeding without update.");
    }
    RemoveQuietly(remoteFile);
    return fetch == VersionFetch::Accepted;
}

void RunUpdatePass(const std::filesystem::path& installDir) {
    RemoveSetAsideUpdater(installDir);

    PostStatus(L"Checking local versions...");
    PostProgress(kLocalVersionPercent);
    const VersionInfo local = ReadLocalVersion(installDir);

    PostStatus(L"Downloading remote versions...");
    PostProgress(kRemoteVersionPercent);
    VersionInfo remote = local;
    const bool checked = FetchRemoteVersion(installDir, remote);

    bool gameUpdateApplied = false;
    if (CompareVersions(local.gameVersion, remote.gameVersion) < 0) {
        gameUpdateApplied = RunInstallStage(installDir, local, remote);
    } else {
        LogLine(L"No update needed.");
        PostStatus(checked ? L"No update needed." : L"Could not check for updates.");
        PostProgress(kNoUpdatePercent);
    }

    const bool pending = !gameUpdateApplied && IsMapsRefreshPending(installDir);
    if (pending && !PendingMapsCanBeChecked(checked, local, remote)) {
        LogLine(
            L"The maps refresh of the last update did not finish; it waits for a start that gets a valid "
            L"version.txt of the installed game-version " +
            Utf8ToWide(local.gameVersion) + L".");
    } else if (gameUpdateApplied || pending) {
        if (pending) LogLine(L"The maps refresh of the last update did not finish; refreshing maps now.");
        // A refresh that did not finish is tried again at the next start.
        if (RunMapsStage(remote.mapsPackage)) ClearMapsRefreshPending(installDir);
    } else {
        LogLine(L"Skipping maps.zip (no game update was applied).");
    }

    PostStatus(L"Launching game...");
    PostProgress(kLaunchPercent);
    LaunchGame(installDir);
}

void UpdaterWorker() {
    const auto installDir = GetInstallDirectory();
    if (!IsLogOpen()) OpenLog(installDir / "updater.log");
    LogLine(L"UpdaterWorker started");
    RunUpdatePass(installDir);

    g_workerFinished.exchange(true);
    PostWorkerDone();
    // The window shows the launch at 100 % with Close enabled for a moment.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    PostCloseRequest();
    LogLine(L"UpdaterWorker finished");
}
