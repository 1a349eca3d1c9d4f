#include <gtest/gtest.h>

#include <algorithm>

#include "base/file_identity.h"
#include "base/text.h"
#include "delta/index_record.h"
#include "fake_platform.h"
#include "integrity/sha256.h"
#include "net/update_server.h"
#include "test_support.h"
#include "worker/maps_pending.h"
#include "worker/maps_stage.h"
#include "worker/updater_worker.h"

using Lines = std::vector<std::wstring>;
using namespace fake_platform;

namespace {

// What the front end is shown on each route, as status texts and "<n>%".
const Lines kCheck{L"Checking local versions...", L"2%", L"Downloading remote versions...", L"6%"};
const Lines kNoUpdate{L"No update needed.", L"30%"};
const Lines kNotChecked{L"Could not check for updates.", L"30%"};
// The fake server answers no ranges: its answer to the first byte alone is the
// whole package, kept as the download (one request of update.zip at most).
const Lines kDownload{L"Update available. Downloading update package...", L"15%"};
const Lines kDownloadFailed{L"Download failed. Skipping update.", L"20%"};
const Lines kExtract{L"Extracting update package...", L"35%"};
const Lines kExtractFailed{L"Extract failed. Skipping update.", L"30%"};
const Lines kApply{L"Applying update...", L"50%"};
const Lines kEmpty{L"Package empty. Skipping apply.", L"40%"};
const Lines kRefused{L"Package refused. Skipping update.", L"40%"};
const Lines kDeletePhase{L"Deleting outdated files...", L"55%"};
const Lines kNoDeletePhase{L"Skipping delete phase (no safelist)...", L"58%"};
const Lines kUnreadableSafelist{L"Skipping delete phase (unreadable safelist)...", L"58%"};
const Lines kCopy{L"Copying new files...", L"70%", L"Final cleanup...", L"90%"};
const Lines kApplied{L"Update applied successfully.", L"95%"};
const Lines kIncomplete{L"Update incomplete. It will be retried on next start."};
const Lines kMapsStart{L"Preparing maps & data...", L"96%"};
const Lines kMapsUpdated{L"Downloading maps...", L"Cleaning Documents data...", L"Maps updated."};
const Lines kMapsFailed{L"Downloading maps...", L"Maps update skipped/failed."};
const Lines kLaunch{L"Launching game...", L"100%"};

// The files and empty folders below root, contents left out.
Lines NamesOf(const fs::path& root) {
    Lines names;
    for (const std::string& entry : ReadTree(root)) names.push_back(Utf8ToWide(entry.substr(0, entry.find('='))));
    return names;
}

Lines Join(std::initializer_list<Lines> parts) {
    Lines all;
    for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// The installation before every run (with what an aborted run left in
// _update_temp), and the trees the runs leave (the maps marker is checked on
// its own).
const Lines kInstallBefore{L"Saves/slot1.sav", L"_update_temp/stray.txt", L"old.txt", L"torn/", L"version.txt"};
const Lines kInstallCleaned{L"Saves/slot1.sav", L"old.txt", L"torn/", L"version.txt"};
// An applied update leaves the index of the installed files.
const Lines kInstallUpdated{L"Saves/slot1.sav", L"__installed_files.index", L"old.txt", L"tree/readme.txt",
    L"tree/sub/deeper/file.txt", L"tree/tool.sh", L"version.txt"};
const Lines kInstallPruned{L"Saves/slot1.sav", L"__installed_files.index", L"safelist.txt", L"tree/readme.txt",
    L"tree/sub/deeper/file.txt", L"tree/tool.sh", L"version.txt"};
const Lines kInstallBlocked{L"Saves/slot1.sav", L"old.txt", L"tree/readme.txt/in the way", L"tree/sub/deeper/file.txt",
    L"tree/tool.sh", L"version.txt"};
const Lines kInstallUnrecorded{L"Saves/slot1.sav", L"__installed_files.index", L"old.txt", L"tree/readme.txt",
    L"tree/sub/deeper/file.txt", L"tree/tool.sh", L"version.txt/in the way"};
const Lines kDataBefore{L"Maps/old.map", L"Replays/r1.rep"};
const Lines kDataRefreshed{L"Replays/r1.rep", L"n/one.txt", L"n/two.txt"};
const Lines kDataCreated{L"Replays/", L"n/one.txt", L"n/two.txt"};

// What the server holds (nullptr: 404).
constexpr const char* kPackage = "iz_tree.zip";
constexpr const char* kMaps = "descriptor_nosig.zip";
constexpr const char* kBadCrc = "damaged_crc.zip";

// How the installation differs from the usual one.
enum Setup : unsigned {
    kPlain = 0,
    kSafelist = 1,         // safelist.txt keeps Saves and itself
    kPending = 2,          // an earlier run left the maps marker
    kBlocked = 4,          // a folder stands where the package puts tree/readme.txt
    kNoDocuments = 8,      // no Documents folder is known
    kNoDataDir = 16,       // the data directory does not exist yet
    kSafelistFolder = 32,  // safelist.txt is a folder: it cannot be read
    kVersionFolder = 64,   // version.txt is a folder: it cannot be read nor written
    kSigned = 128,         // a build with a release key; version.txt signed, with the served packages' checksums
    kNoRoom = 256,         // every volume has 1 MiB free
    kIndexed = 512,        // tree/readme.txt installed as the package has it, and recorded in the index
};

struct PassRow {
    const char* name;
    const char* remoteGame;  // game-version of the served version.txt (updater-version 3.0.0)
    const char* update;
    const char* maps;
    unsigned setup;
    Lines frontEnd;
    const char* recordedGame;  // game-version in version.txt afterwards (updater-version stays 2.0.0); nullptr: none
    bool pendingAfter;
    const Lines* install;
    const Lines* data;
    const char* drop = nullptr;  // the key whose line a signed version.txt lacks
    const char* line = nullptr;  // a line the log must hold
};

const char* const kMapsWait =
    "The maps refresh of the last update did not finish; it waits for a start that gets a valid version.txt of "
    "the installed game-version 1.0.0.";

const Lines kUpToApply = Join({kCheck, kDownload, kExtract, kApply});
const Lines kAppliedThenMaps = Join({kUpToApply, kNoDeletePhase, kCopy, kApplied, kMapsStart});

const PassRow kPassRows[] = {
    {"remote equal: no update, maps left alone", "1.0.0", kPackage, kMaps, kPlain, Join({kCheck, kNoUpdate, kLaunch}),
        "1.0.0", false, &kInstallBefore, &kDataBefore},
    {"remote older: no update", "0.9.9", kPackage, kMaps, kPlain, Join({kCheck, kNoUpdate, kLaunch}), "1.0.0", false,
        &kInstallBefore, &kDataBefore},
    {"applied without safelist, maps refreshed", "1.1.0", kPackage, kMaps, kPlain,
        Join({kAppliedThenMaps, kMapsUpdated, kLaunch}), "1.1.0", false, &kInstallUpdated, &kDataRefreshed},
    {"applied with safelist: outdated file deleted", "1.1.0", kPackage, kMaps, kSafelist,
        Join({kUpToApply, kDeletePhase, kCopy, kApplied, kMapsStart, kMapsUpdated, kLaunch}), "1.1.0", false,
        &kInstallPruned, &kDataRefreshed},
    {"applied with safelist, the indexed file left in place and kept", "1.1.0", kPackage, kMaps, kSafelist | kIndexed,
        Join({kUpToApply, kDeletePhase, kCopy, kApplied, kMapsStart, kMapsUpdated, kLaunch}), "1.1.0", false,
        &kInstallPruned, &kDataRefreshed, nullptr, "update.zip: 3 files, 1 up to date, 2 unpacked"},
    {"remote version.txt not found: told so, no update", nullptr, kPackage, kMaps, kPlain,
        Join({kCheck, kNotChecked, kLaunch}), "1.0.0", false, &kInstallBefore, &kDataBefore},
    {"package of another size than version.txt gives: refused", "1.1.0\nupdate-size: 1", kPackage, kMaps, kPlain,
        Join({kCheck, kDownload, kDownloadFailed, kLaunch}), "1.0.0", false, &kInstallCleaned, &kDataBefore},
    {"update extraction fails", "1.1.0", kBadCrc, kMaps, kPlain,
        Join({kCheck, kDownload, kExtract, kExtractFailed, kLaunch}), "1.0.0", false, &kInstallCleaned, &kDataBefore},
    {"empty package", "1.1.0", "py_empty.zip", kMaps, kPlain, Join({kUpToApply, kEmpty, kLaunch}), "1.0.0", false,
        &kInstallCleaned, &kDataBefore},
    {"a file not copied: version kept, no maps", "1.1.0", kPackage, kMaps, kBlocked,
        Join({kUpToApply, kNoDeletePhase, kCopy, kIncomplete, kLaunch}), "1.0.0", false, &kInstallBlocked,
        &kDataBefore},
    {"unreadable safelist: nothing deleted (its empty folder goes after the copy)", "1.1.0", kPackage, kMaps,
        kSafelistFolder, Join({kUpToApply, kUnreadableSafelist, kCopy, kApplied, kMapsStart, kMapsUpdated, kLaunch}),
        "1.1.0", false, &kInstallUpdated, &kDataRefreshed},
    {"version.txt cannot be written: marker cleared, no maps", "1.1.0", kPackage, kMaps, kVersionFolder,
        Join({kUpToApply, kNoDeletePhase, kCopy, kIncomplete, kLaunch}), nullptr, false, &kInstallUnrecorded,
        &kDataBefore},
    {"first maps refresh: data directory created", "1.1.0", kPackage, kMaps, kNoDataDir,
        Join({kAppliedThenMaps, kMapsUpdated, kLaunch}), "1.1.0", false, &kInstallUpdated, &kDataCreated},
    {"maps.zip with a bad CRC: data kept, marker kept", "1.1.0", kPackage, kBadCrc, kPlain,
        Join({kAppliedThenMaps, kMapsFailed, kLaunch}), "1.1.0", true, &kInstallUpdated, &kDataBefore},
    {"no Documents folder: marker kept", "1.1.0", kPackage, kMaps, kNoDocuments, Join({kAppliedThenMaps, kLaunch}),
        "1.1.0", true, &kInstallUpdated, &kDataBefore},
    {"pending marker: maps retried and marker cleared", "1.0.0", nullptr, kMaps, kPending,
        Join({kCheck, kNoUpdate, kMapsStart, kMapsUpdated, kLaunch}), "1.0.0", false, &kInstallBefore, &kDataRefreshed},
    {"pending marker, damaged maps.zip again: marker kept", "1.0.0", nullptr, kBadCrc, kPending,
        Join({kCheck, kNoUpdate, kMapsStart, kMapsFailed, kLaunch}), "1.0.0", true, &kInstallBefore, &kDataBefore},
    {"package holding _update_temp/levels.pak: refused before anything is deleted or moved", "1.1.0",
        "working_name_temp.zip", kMaps, kPlain, Join({kUpToApply, kRefused, kLaunch}), "1.0.0", false, &kInstallCleaned,
        &kDataBefore, nullptr, "update.zip holds the updater's working file _update_temp/levels.pak; update skipped."},
    {"package holding UPDATER.LOG: refused", "1.1.0", "working_name_log.zip", kMaps, kPlain,
        Join({kUpToApply, kRefused, kLaunch}), "1.0.0", false, &kInstallCleaned, &kDataBefore, nullptr,
        "update.zip holds the updater's working file UPDATER.LOG; update skipped."},
    // A build with a release key installs only what a signed version.txt names the checksums of.
    {"signed, every checksum named: applied, maps refreshed", "1.1.0", kPackage, kMaps, kSigned,
        Join({kAppliedThenMaps, kMapsUpdated, kLaunch}), "1.1.0", false, &kInstallUpdated, &kDataRefreshed},
    {"signed without update-sha256: refused", "1.1.0", kPackage, kMaps, kSigned, Join({kCheck, kNotChecked, kLaunch}),
        "1.0.0", false, &kInstallBefore, &kDataBefore, "update-sha256",
        "Remote version.txt refused: a signed release must name every checksum, and it lacks update-sha256. "
        "Proceeding without update."},
    {"signed without update-size: refused", "1.1.0", kPackage, kMaps, kSigned, Join({kCheck, kNotChecked, kLaunch}),
        "1.0.0", false, &kInstallBefore, &kDataBefore, "update-size"},
    {"signed without maps-sha256: refused", "1.1.0", kPackage, kMaps, kSigned, Join({kCheck, kNotChecked, kLaunch}),
        "1.0.0", false, &kInstallBefore, &kDataBefore, "maps-sha256"},
    {"signed without maps-size: refused", "1.1.0", kPackage, kMaps, kSigned, Join({kCheck, kNotChecked, kLaunch}),
        "1.0.0", false, &kInstallBefore, &kDataBefore, "maps-size"},
    {"signed, pending marker, version.txt of the installed release: maps refreshed", "1.0.0", nullptr, kMaps,
        kSigned | kPending, Join({kCheck, kNoUpdate, kMapsStart, kMapsUpdated, kLaunch}), "1.0.0", false,
        &kInstallBefore, &kDataRefreshed},
    {"signed, pending marker, version.txt refused: maps left, marker kept", "1.0.0", nullptr, kMaps, kSigned | kPending,
        Join({kCheck, kNotChecked, kLaunch}), "1.0.0", true, &kInstallBefore, &kDataBefore, "signature", kMapsWait},
    {"signed, pending marker, version.txt unreachable: maps left, marker kept", nullptr, nullptr, kMaps,
        kSigned | kPending, Join({kCheck, kNotChecked, kLaunch}), "1.0.0", true, &kInstallBefore, &kDataBefore, nullptr,
        kMapsWait},
    {"signed, pending marker, newer release not installed: maps left, marker kept", "1.1.0", nullptr, kMaps,
        kSigned | kPending, Join({kCheck, kDownload, kDownloadFailed, kLaunch}), "1.0.0", true, &kInstallCleaned,
        &kDataBefore, nullptr, kMapsWait},
    // Room before writing: the package (its size twice without a directory) and the margin.
    {"too little room on the game's drive: update skipped before the package is fetched", "1.1.0", kPackage, kMaps,
        kSigned | kNoRoom, Join({kCheck, kDownload, {L"Not enough free space. Skipping update.", L"20%"}, kLaunch}),
        "1.0.0", false, &kInstallCleaned, &kDataBefore, nullptr,
        "update.zip needs 9 MB free on the game's drive and 1 MB are free; update skipped."},
    {"too little room on the data directory's drive: maps left, marker kept", "1.0.0", nullptr, kMaps,
        kSigned | kPending | kNoRoom, Join({kCheck, kNoUpdate, kMapsStart, {L"Maps update skipped/failed."}, kLaunch}),
        "1.0.0", true, &kInstallBefore, &kDataBefore, nullptr,
        "maps.zip needs 9 MB free on the data directory's drive and 1 MB are free; maps refresh skipped."},
};

// A version.txt line for each checksum of the package.
std::string ChecksumLines(const std::string& key, const std::string& package) {
    Sha256Digest digest{};
    EXPECT_TRUE(Sha256Of(package, digest));
    return key + "-sha256: " + DigestToHex(digest) + "\n" + key + "-size: " + std::to_string(package.size()) + "\n";
}

// A fresh installation, data directory and server for one row.
struct Pass {
    ScratchDir root{"stage"};
    fs::path install = root.path / "game";
    fs::path data = root.path / "Documents" / "Ardentfall Data";
    LogCapture log;

    explicit Pass(const PassRow& row) {
        WriteTree(install, {"torvane.exe=game", "old.txt=outdated", "Saves/slot1.sav=save", "torn/",
                               "_update_temp/stray.txt=from an aborted run"});
        if (row.setup & kVersionFolder)
            WriteBytes(install / "version.txt" / "in the way", "x");
        else
            WriteBytes(install / "version.txt", "game-version: 1.0.0\r\nupdater-version: 2.0.0\r\n");
        if (row.setup & kSafelist) WriteBytes(install / "safelist.txt", "Saves\r\nsafelist.txt\r\n");
        if (row.setup & kSafelistFolder) fs::create_directories(install / "safelist.txt");
        if (row.setup & kPending) MarkMapsRefreshPending(install);
        if (row.setup & kBlocked) WriteBytes(install / "tree" / "readme.txt" / "in the way", "x");
        if (row.setup & kIndexed) {
            WriteBytes(install / "tree" / "readme.txt", "readme\n");
            IndexBuilder builder;
            EXPECT_TRUE(SavePackageFiles(Package(kPackage), install.parent_path() / "files.saved"));
            AddSavedFiles(builder, install.parent_path() / "files.saved");
            EXPECT_TRUE(WriteInstalledIndex(install, builder));
        }
        if (!(row.setup & kNoDataDir)) WriteTree(data, {"Maps/old.map=map", "Replays/r1.rep=replay"});

        g_frontEnd.clear();
        g_started.clear();
        g_documents = (row.setup & kNoDocuments) ? fs::path() : root.path / "Documents";
        g_served.clear();
        g_requested.clear();
        g_freeBytes = (row.setup & kNoRoom) ? std::optional<std::uint64_t>(1 << 20) : std::nullopt;
        if (row.update) g_served[UpdatePackageUrls().front()] = ReadBytes(Package(row.update));
        if (row.maps) g_served[MapsPackageUrls().front()] = ReadBytes(Package(row.maps));
        g_signedBuild = row.setup & kSigned;
        if (!row.remoteGame) return;
        std::string text = std::string("game-version: ") + row.remoteGame + "\nupdater-version: 3.0.0\n";
        if (g_signedBuild) {
            text += ChecksumLines("update", row.update ? g_served[UpdatePackageUrls().front()] : "") +
                    ChecksumLines("maps", row.maps ? g_served[MapsPackageUrls().front()] : "") +
                    "signature: " + kTestSignature + "\n";
            if (row.drop) {
                const std::size_t at = text.find(std::string("\n") + row.drop + ":") + 1;
                text.erase(at, text.find('\n', at) + 1 - at);
            }
        }
        g_served[VersionFileUrls().front()] = text;
    }
};

}  // namespace

TEST(UpdatePass, StagesStatusVersionRecordAndMapsMarker) {
    for (const PassRow& row : kPassRows) {
        SCOPED_TRACE(row.name);
        Pass pass(row);
        FileIdentity before, after;
        ReadFileIdentity(pass.install / "tree" / "readme.txt", before);
        RunUpdatePass(pass.install);
        if (row.setup & kIndexed) {  // the same file, untouched
            EXPECT_TRUE(ReadFileIdentity(pass.install / "tree" / "readme.txt", after));
            EXPECT_EQ(after, before);
        }
        EXPECT_EQ(g_frontEnd, row.frontEnd);
        if (row.recordedGame) {
            EXPECT_EQ(ReadBytes(pass.install / "version.txt"),
                std::string("game-version: ") + row.recordedGame + "\r\nupdater-version: 2.0.0\r\n");
        }
        EXPECT_EQ(IsMapsRefreshPending(pass.install), row.pendingAfter);
        const auto logged = pass.log.Messages();
        const bool retryLogged =
            std::ranges::count(logged, "The maps refresh of the last update did not finish; refreshing maps now.");
        const bool mapsRan = std::ranges::count(row.frontEnd, L"Preparing maps & data...");
        EXPECT_EQ(retryLogged, (row.setup & kPending) && mapsRan) << "only a marker from an earlier run means a retry";
        if (row.line) {
            EXPECT_EQ(std::ranges::count(logged, row.line), 1);
        }
        const auto packageRequests = std::ranges::count_if(
            g_requested, [](const std::wstring& r) { return r.starts_with(UpdatePackageUrls().front()); });
        EXPECT_LE(packageRequests, 1);
        if (row.setup & kNoRoom) {  // the package's first answer was cut at its head
            for (const std::wstring& request : g_requested)
                EXPECT_TRUE(
                    request == VersionFileUrls().front() || request == UpdatePackageUrls().front() + L" bytes=0-0")
                    << WideToUtf8(request);
        }
        Lines installed = NamesOf(pass.install);  // the game and the maps marker are checked on their own
        std::erase_if(installed, [](const std::wstring& n) { return n == L"__maps_pending" || n == L"torvane.exe"; });
        EXPECT_EQ(installed, *row.install);
        EXPECT_EQ(NamesOf(pass.data), *row.data);
        EXPECT_EQ(g_started, (decltype(g_started){{pass.install / "torvane.exe", pass.install}}));
    }
}

// The frame around the pass, on the test program's own folder: it holds no
// installation, so the pass there finds no update and writes nothing.
TEST(UpdaterWorker, LaunchesThenEnablesCloseAndClosesTheFrontEnd) {
    LogCapture log;
    g_served.clear();
    g_frontEnd.clear();
    g_workerFinished = false;
    UpdaterWorker();
    const Lines& shown = g_frontEnd;
    ASSERT_GE(shown.size(), 4u);
    EXPECT_EQ(Lines(shown.end() - 4, shown.end()), (Lines{L"Launching game...", L"100%", L"worker done", L"close"}));
    EXPECT_TRUE(g_workerFinished.load());
    const auto logged = log.Messages();
    EXPECT_EQ(logged.front(), "UpdaterWorker started");
    EXPECT_EQ(logged.back(), "UpdaterWorker finished");
}

// The maps stage's log lines in order ('*': any rest of the line).
struct MapsLogRow {
    const char* maps;  // package served as maps.zip; nullptr: 404
    std::vector<std::string> lines;
};

const MapsLogRow kMapsLogRows[] = {
    {kMaps, {"AF Data dir: *", "Downloading maps.zip to: *", "Removing dir in Data: *", "Extracting maps.zip into: *",
                "ExtractZip to *", "maps.zip extracted successfully."}},
    {kBadCrc, {"AF Data dir: *", "Downloading maps.zip to: *",
                  "maps.zip is damaged; the data directory is left as it is.", "maps.zip update skipped/failed."}},
    {nullptr, {"AF Data dir: *", "Downloading maps.zip to: *",
                  "maps.zip cannot be downloaded: status 404 (no such file on the server)", "Download maps.zip failed.",
                  "maps.zip update skipped/failed."}},
    {"working_name_maps.zip", {"AF Data dir: *", "Downloading maps.zip to: *",
                                  "maps.zip holds the updater's working file __maps.zip; maps update skipped.",
                                  "maps.zip update skipped/failed."}},
};

TEST(MapsStage, LogsEachStepInOrder) {
    for (const MapsLogRow& row : kMapsLogRows) {
        SCOPED_TRACE(row.maps ? row.maps : "no maps.zip");
        Pass pass({"", nullptr, nullptr, row.maps, kPlain, {}, "", false, nullptr, nullptr});
        RunMapsStage({});
        ExpectLog(pass.log.Messages(), row.lines, {}, true);
    }
}
