#include "worker/install_stage.h"

#include <algorithm>
#include <string>
#include <system_error>

#include "apply/copy_phase.h"
#include "apply/delete_phase.h"
#include "apply/relative_path_list.h"
#include "apply/self_update.h"
#include "base/atomic_file.h"
#include "base/durable_files.h"
#include "base/file_system.h"
#include "base/give_back.h"
#include "base/log.h"
#include "base/tree_walk.h"
#include "delta/index_record.h"
#include "front_end_channel/progress.h"
#include "rules/safelist.h"
#include "rules/working_names.h"
#include "worker/maps_pending.h"
#include "worker/package_fetch.h"
#include "worker/progress_span.h"
#include "zip/zip_directory.h"
#include "zip/zip_extract.h"

namespace {

struct StagePaths {
    std::filesystem::path package;
    std::filesystem::path extraction;
    std::filesystem::path versionFile;
    std::filesystem::path savedFiles;  // the whole package's files, for the index, once it is deleted
};

void Report(const wchar_t* status, int percent) {
    PostStatus(status);
    PostProgress(percent);
}

void CleanUp(const StagePaths& paths) {
    RemoveQuietly(paths.package);
    RemoveQuietly(paths.savedFiles);
    RemoveTree(paths.extraction);
}

void RunDeletePhase(const std::filesystem::path& installDir, const StagePaths& paths, const PackageListing& package) {
    // Without every pattern of the safelist the player's own files would look outdated.
    Safelist safelist;
    std::wstring problem;
    if (!LoadSafelist(installDir, safelist, problem)) {
        LogLine(L"safelist.txt " + problem + L" \u2192 skipping delete phase.");
        Report(L"Skipping delete phase (unreadable safelist)...", kDeleteSkippedPercent);
        return;
    }
    LogLine(L"safelist.txt found in install dir \u2192 performing delete phase.");
    Report(L"Deleting outdated files...", kDeleteSpan.from);
    // The walk passes over the installation's files, the extraction's excepted.
    const auto installed = CountFiles(installDir), packaged = CountFiles(paths.extraction);
    BeginProgressSpan(kDeleteSpan, WorkUnit::Files, installed > packaged ? installed - packaged : 0);
    DeleteOutdatedFiles(installDir, paths.extraction, package, safelist);
    EndProgressSpan();
    RemoveEmptyDirectories(installDir, paths.extraction, package, safelist);
}

// The first file (in name order) of the package at one of the updater's
// working names, as its entry name ('/' separators); else such an (empty)
// directory; empty when there is none. Read from the package's listing, so
// that files the differential update found up to date count too.
std::wstring FindWorkingName(const PackageListing& package) {
    auto first = [](const RelativePathList& paths) {
        std::wstring found;
        ForEachRelativePath(paths, [&](RelativePathView relative) {
            const std::wstring path = ToSafelistForm(std::filesystem::path::string_type(relative));
            if (MatchesSafelist(path, InstallWorkingNames()) && (found.empty() || path < found)) found = path;
        });
        return found;
    };
    std::wstring name = first(package.files);
    if (name.empty()) name = first(package.directories);
    std::replace(name.begin(), name.end(), L'\\', L'/');
    return name;
}

// The updater's version is the remote one only when its new file went in.
bool RecordNewVersion(
    const StagePaths& paths, const VersionInfo& local, const VersionInfo& remote, bool updaterReplaced) {
    const VersionInfo updated{remote.gameVersion, updaterReplaced ? remote.updaterVersion : local.updaterVersion};
    if (!WriteVersionFile(paths.versionFile, updated)) {
        LogLine(L"version.txt could not be written; the update will be repeated on next start.");
        return false;
    }
    LogLine(L"version.txt updated (game=" + Utf8ToWide(updated.gameVersion) + L", updater=" +
            Utf8ToWide(updated.updaterVersion) + L")");
    return true;
}

// The package's files and directories as its central directory names them,
// those left in place included; false when it cannot be read.
bool ListPackageDirectory(const std::filesystem::path& package, PackageListing& listing) {
    ZipInput input;
    ZipDirectory directory;
    std::wstring why;
    const auto add = [&](const ZipEntry&, const EntryPath& path) {
        const std::filesystem::path relative = RelativePathOf(path);
        if (!relative.empty()) AddToPackageListing(listing, relative, path.isDirectory);
        return true;
    };
    if (!OpenZipInput(package, input) || !FindZipDirectory(input, directory)) return false;
    ReserveRelativePaths(listing.files, MostEntriesIn(directory), static_cast<std::size_t>(directory.size));
    return ReadZipDirectory(input, directory, add, why);
}

void LogLeftInPlace(const FetchedPackage& fetched) {
    const std::uint64_t files = PackageFileCount(fetched.listing);
    const std::uint64_t upToDate = std::min<std::uint64_t>(fetched.inPlace.leftInPlace, files);
    LogLine(L"update.zip: " + std::to_wstring(files) + L" files, " + std::to_wstring(upToDate) + L" up to date, " +
            std::to_wstring(files - upToDate) + L" unpacked");
}

// The whole package unpacked into the extraction directory, but the files the
// installation holds already: those stay in place, and the listing for the
// delete phase comes from the package's directory. False when it cannot be.
bool UnpackWholePackage(const StagePaths& paths, FetchedPackage& fetched) {
    if (!fetched.streamed.byDirectory) {  // else listed by the directory it was unpacked by
        GiveBack(fetched.listing);
        if (!ListPackageDirectory(paths.package, fetched.listing)) return false;
    }
    Report(L"Extracting update package...", kExtractionSpan.from);
    BeginProgressSpan(kExtractionSpan, WorkUnit::Entries);
    const bool adopted = AdoptStreamedZip(paths.package, paths.extraction, fetched.streamed);
    // Checked and flushed: what the unpacking noted of each entry (8 MB at 100,000 files) is needed no more.
    GiveBack(fetched.streamed.written);
    GiveBack(fetched.streamed.offsets);
    bool extracted = adopted;
    if (!extracted) {
        EmptyDirectory(paths.extraction);
        fetched.inPlace.leftInPlace = 0;
        fetched.inPlace.updaterLeftInPlace = false;
        extracted = ExtractZip(paths.package, paths.extraction, InstalledCheck(fetched.inPlace));
    }
    EndProgressSpan();
    ForgetInstalledEntries(fetched.inPlace);
    if (!extracted) return false;
    // The delete phase deletes the package: what the index needs of it is kept aside.
    if (!SavePackageFiles(paths.package, paths.savedFiles))
        LogLine(
            std::wstring(kInstalledIndexName) +
            L" will be empty: update.zip's files could not be kept aside for it; the next update reads every file.");
    // A package unpacked by its directory was listed by it, checked as the package is.
    if (!adopted || !fetched.streamed.byDirectory) fetched.updaterUpToDate = fetched.inPlace.updaterLeftInPlace;
    LogLeftInPlace(fetched);
    return true;
}

// Obtains the package, or only its changed entries, unpacked into the
// extraction directory. False (reported, cleared away) when it cannot be.
bool ObtainPackage(const StagePaths& paths, const VersionInfo& remote, FetchedPackage& fetched) {
    Report(L"Update available. Downloading update package...", kPackageStartPercent);
    fetched = FetchUpdatePackage(paths.package, paths.extraction, remote.updatePackage);
    if (fetched.how == PackageFetch::NoRoom) {
        Report(L"Not enough free space. Skipping update.", kDownloadFailedPercent);
        RemoveTree(paths.extraction);
        return false;
    }
    if (fetched.how == PackageFetch::Failed) {
        LogLine(L"Download update.zip failed. Will skip update.");
        Report(L"Download failed. Skipping update.", kDownloadFailedPercent);
        RemoveTree(paths.extraction);
        // The installation was read whole: the next start need not read it again.
        // The index the unpacking read is let go first: Windows replaces no open file.
        GiveBack(fetched.inPlace.index);
        if (fetched.inPlace.comparedAll && !fetched.inPlace.compared.records.empty())
            WriteInstalledIndex(paths.package.parent_path(), fetched.inPlace.compared);
        return false;
    }
    if (fetched.how == PackageFetch::Whole && !UnpackWholePackage(paths, fetched)) {
        LogLine(L"Extract failed. Skipping update.");
        Report(L"Extract failed. Skipping update.", kExtractFailedPercent);
        CleanUp(paths);
        return false;
    }
    return true;
}

// Applies what was obtained: the delete phase (with a safelist), the copy
// phase, the removal of emptied directories. False when the package is empty
// or refused (nothing touched), or a file was not copied: then the old
// version.txt stays, so the next start repeats the whole update.
bool ApplyPackage(const std::filesystem::path& installDir, const StagePaths& paths, const FetchedPackage& fetched,
    bool& updaterReplaced) {
    // The package's own count: an installation already equal to the release
    // fetched nothing, and is recorded all the same.
    const auto count = PackageFileCount(fetched.listing);
    LogLine(L"Extracted file count: " + std::to_wstring(count));
    Report(L"Applying update...", kApplyPercent);
    if (count == 0) {
        LogLine(L"Package empty. Skipping prune/copy.");
        Report(L"Package empty. Skipping apply.", kNothingAppliedPercent);
        CleanUp(paths);
        return false;
    }

    // Before anything is deleted or moved.
    if (const std::wstring name = FindWorkingName(fetched.listing); !name.empty()) {
        LogLine(L"update.zip holds the updater's working file " + name + L"; update skipped.");
        Report(L"Package refused. Skipping update.", kNothingAppliedPercent);
        CleanUp(paths);
        return false;
    }

    if (SafelistExists(installDir)) {
        RunDeletePhase(installDir, paths, fetched.listing);
    } else {
        LogLine(L"safelist.txt NOT found in install \u2192 skipping delete phase.");
        Report(L"Skipping delete phase (no safelist)...", kDeleteSkippedPercent);
    }

    Report(L"Copying new files...", kCopySpan.from);
    updaterReplaced =
        ReplaceRunningUpdater(paths.extraction, installDir) == UpdaterSwap::Replaced || fetched.updaterUpToDate;
    const auto packaged = CountFiles(paths.extraction);
    BeginProgressSpan(kCopySpan, WorkUnit::Files, packaged);
    const auto notCopied = CopyNewFiles(paths.extraction, installDir, packaged);
    EndProgressSpan();
    Report(L"Final cleanup...", kCleanupPercent);
    RemoveEmptyDirectoriesAfterCopy(installDir);

    if (notCopied != 0) {
        LogLine(L"Update incomplete: " + std::to_wstring(notCopied) +
                L" file(s) could not be copied. version.txt left unchanged; the update will be retried on next start.");
        PostStatus(L"Update incomplete. It will be retried on next start.");
        CleanUp(paths);
        return false;
    }
    return true;
}

// Every file of the release is in place: each is recorded in the index of the
// installed files, with the CRC-32 the package gives it.
void RecordInstalledFiles(const std::filesystem::path& installDir, FetchedPackage& fetched) {
    if (!WriteInstalledIndex(installDir, fetched.installed))
        LogLine(std::wstring(kInstalledIndexName) + L" could not be written; the next update reads every file.");
}

// Records the update: the index of the installed files, then, once the
// package is cleared away and every name is on the disk, the maps marker and
// version.txt. False when version.txt could not be written.
bool RecordUpdate(const std::filesystem::path& installDir, const StagePaths& paths, FetchedPackage& fetched,
    const VersionInfo& local, const VersionInfo& remote, bool updaterReplaced) {
    // The whole package's files for the index, taken once its listing is
    // needed no more, so that the two are never held together.
    if (fetched.how == PackageFetch::Whole) {
        GiveBack(fetched.listing);
        GiveBack(fetched.installed);
        AddSavedFiles(fetched.installed, paths.savedFiles);
    }
    // The package is cleared away before the new version is recorded: once
    // version.txt is new, no later run would come back to remove it. The
    // files' bytes reached the disk during extraction; their new names, the
    // removals and the index (atomic_file.h) reach it before version.txt.
    CleanUp(paths);
    RecordInstalledFiles(installDir, fetched);
    FlushNamesToDisk(installDir);
    MarkMapsRefreshPending(installDir);
    if (!RecordNewVersion(paths, local, remote, updaterReplaced)) {
        // Not recorded, not applied: the next start repeats the update with its maps.
        ClearMapsRefreshPending(installDir);
        PostStatus(L"Update incomplete. It will be retried on next start.");
        return false;
    }
    Report(L"Update applied successfully.", kAppliedPercent);
    return true;
}

}  // namespace

// Three steps: obtain, apply, record.
bool RunInstallStage(const std::filesystem::path& installDir, const VersionInfo& local, const VersionInfo& remote) {
    const StagePaths paths{installDir / "update.zip", installDir / "_update_temp", installDir / "version.txt",
        installDir / (std::wstring(L"update.zip.files") + kPlacingSuffix)};
    RemoveQuietly(paths.savedFiles);  // what a killed start left
    FetchedPackage fetched;
    bool updaterReplaced = false;
    return ObtainPackage(paths, remote, fetched) && ApplyPackage(installDir, paths, fetched, updaterReplaced) &&
           RecordUpdate(installDir, paths, fetched, local, remote, updaterReplaced);
}
