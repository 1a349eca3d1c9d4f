#include "apply/delete_phase.h"

#include <optional>
#include <system_error>

#include "base/ascii_case.h"
#include "base/file_attributes.h"
#include "base/file_system.h"
#include "base/log.h"
#include "base/tree_walk.h"
#include "base/work_progress.h"
#include "rules/own_executable.h"

namespace fs = std::filesystem;

namespace {

Safelist WithProtectedNames(const Safelist& safelist) {
    Safelist patterns = safelist;
    AppendProtectedNames(patterns);
    return patterns;
}

// Deletes one outdated file; false when the deletion failed.
bool DeleteOutdatedFile(const fs::path& file, const std::wstring& relativeText) {
    ClearReadOnly(file);
    LogLine(L"Deleting old file: " + relativeText);
    std::error_code ec;
    RemoveEntry(file, ec);
    return !ec;
}

}  // namespace

void AddToPackageListing(PackageListing& listing, const fs::path& relative, bool isDirectory) {
    fs::path above = relative;
    if (!isDirectory) {
        AddRelativePath(listing.files, relative.native());
        above = relative.parent_path();
    }
    for (; !above.empty(); above = above.parent_path()) AddRelativePath(listing.directories, above.native());
}

std::size_t PackageFileCount(const PackageListing& listing) { return RelativePathCount(listing.files); }

void DeleteOutdatedFiles(
    const fs::path& installDir, const fs::path& extractDir, const PackageListing& listing, const Safelist& safelist) {
    const Safelist patterns = WithProtectedNames(safelist);
    // A package file missed by the listing would look outdated and be deleted.
    if (!listing.complete) return;
    // safelist.txt switches this phase on, so an outdated one goes last: a run
    // stopped part-way must find it again and finish the deletions.
    std::optional<fs::path> outdatedSafelistFile;
    bool stopped = false;
    std::uint64_t seen = 0;
    WalkTree(installDir, [&](const fs::directory_entry& entry) {
        if (IsRealDirectory(entry) && IsSameFile(entry.path(), extractDir)) return WalkStep::SkipChildren;
        if (!IsRegularFile(entry)) return WalkStep::Continue;
        ReportWork(++seen, 0);
        const fs::path::string_type relative = RelativeNativePath(entry.path(), installDir);
        if (relative.empty() || HoldsRelativePath(listing.files, relative)) return WalkStep::Continue;
        const std::wstring text = ToSafelistForm(relative);
        if (MatchesSafelist(text, patterns)) return WalkStep::Continue;
        // The updater itself, whatever it has been renamed to.
        if (IsRunningExecutable(entry.path())) return WalkStep::Continue;
        if (EqualsIgnoringAsciiCase(text, L"safelist.txt")) {
            outdatedSafelistFile = entry.path();
            return WalkStep::Continue;
        }
        stopped = !DeleteOutdatedFile(entry.path(), text);
        return stopped ? WalkStep::Stop : WalkStep::Continue;
    });
    if (outdatedSafelistFile && !stopped)
        DeleteOutdatedFile(
            *outdatedSafelistFile, ToSafelistForm(RelativeNativePath(*outdatedSafelistFile, installDir)));
}

void RemoveEmptyDirectories(
    const fs::path& installDir, const fs::path& extractDir, const PackageListing& listing, const Safelist& safelist) {
    const Safelist patterns = WithProtectedNames(safelist);
    for (const fs::path& directory : ListDirectoriesLongestFirst(installDir, extractDir)) {
        const fs::path::string_type relative = RelativeNativePath(directory, installDir);
        if (relative.empty() || HoldsRelativePath(listing.directories, relative)) continue;
        const std::wstring text = ToSafelistForm(relative);
        if (MatchesSafelist(text, patterns)) continue;
        std::error_code ec;
        if (!IsEmptyDirectory(directory, ec) || ec) continue;
        LogLine(L"Removing empty dir: " + text);
        RemoveQuietly(directory);
    }
}
