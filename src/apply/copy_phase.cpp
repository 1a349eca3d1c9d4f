#include "apply/copy_phase.h"

#include <algorithm>
#include <system_error>

#include "base/atomic_file.h"
#include "base/file_system.h"
#include "base/log.h"
#include "base/text.h"
#include "base/tree_walk.h"
#include "base/work_progress.h"
#include "rules/own_executable.h"

namespace fs = std::filesystem;

namespace {

struct CopyTally {
    std::uint32_t filesSeen = 0;
    std::uint32_t notCopied = 0;
    bool endedEarly = false;
};

// Moves one package file into place; false when its destination directory
// could not be created, which ends the phase once this file has been tried.
bool CopyPackageFile(const fs::path& source, const fs::path& extractDir, const fs::path& installDir, CopyTally& tally) {
    ++tally.filesSeen;
    const fs::path relative = RelativeNativePath(source, extractDir);
    if (relative.empty()) {
        ++tally.notCopied;
        return true;
    }
    const fs::path destination = installDir / relative;
    std::error_code ec;
    MakeDirectories(destination.parent_path(), ec);
    if (PlaceFile(source, destination)) {
        LogLine(L"Copied: " + PathToWide(destination));
    } else {
        LogLine(L"Failed to copy: " + PathToWide(destination));
        // A running program cannot be replaced on Windows; that failure is
        // logged by the updater swap and must not hold the update back.
        if (!IsRunningExecutable(destination)) ++tally.notCopied;
    }
    return !ec;
}

}  // namespace

std::uint32_t CountFiles(const fs::path& dir) {
    std::uint32_t count = 0;
    WalkTree(dir, [&](const fs::directory_entry& entry) {
        if (IsRegularFile(entry)) ++count;
        return WalkStep::Continue;
    });
    return count;
}

std::uint32_t CopyNewFiles(
    const fs::path& extractDir, const fs::path& installDir, std::optional<std::uint32_t> fileCount) {
    // Counted before the files are moved out of the extraction directory.
    const std::uint32_t total = fileCount ? *fileCount : CountFiles(extractDir);
    CopyTally tally;
    bool complete = WalkTree(extractDir, [&](const fs::directory_entry& entry) {
        if (!IsRegularFile(entry)) return WalkStep::Continue;
        ReportWork(tally.filesSeen, 0);
        if (CopyPackageFile(entry.path(), extractDir, installDir, tally)) return WalkStep::Continue;
        tally.endedEarly = true;
        return WalkStep::Stop;
    });
    if (complete) return tally.notCopied;
    // The files the phase never reached did not reach the installation either.
    std::uint32_t unreached = total > tally.filesSeen ? total - tally.filesSeen : 0;
    return tally.notCopied + std::max<std::uint32_t>(unreached, 1);
}

void RemoveEmptyDirectoriesAfterCopy(const fs::path& installDir) {
    for (const fs::path& directory : ListDirectoriesLongestFirst(installDir)) {
        std::error_code ec;
        if (!IsEmptyDirectory(directory, ec) || ec) continue;
        LogLine(L"Removing empty dir (post-copy): " + PathToWide(directory));
        RemoveQuietly(directory);
    }
}
