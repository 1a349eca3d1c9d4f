#include "apply/self_update.h"

#include <system_error>
#include <vector>

#include "base/atomic_file.h"
#include "base/file_attributes.h"
#include "base/file_system.h"
#include "base/log.h"
#include "base/text.h"
#include "base/tree_walk.h"

namespace fs = std::filesystem;

namespace {

// The package's file for the place of `self`, or an empty path.
fs::path PackagedCopyOf(const fs::path& self, const fs::path& extractDir, const fs::path& installDir) {
    std::vector<fs::directory_entry> entries;
    ReadDirectory(extractDir, entries);
    for (const fs::directory_entry& entry : entries)
        if (IsRegularFile(entry) && IsSameFile(installDir / entry.path().filename(), self)) return entry.path();
    return {};
}

// The new updater must stay startable even when the package did not mark it
// executable (a package made on Windows).
void KeepExecutableBits(const fs::path& from, const fs::path& to) {
    constexpr fs::perms kExecutable = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
    std::error_code ec;
    const fs::perms bits = fs::status(from, ec).permissions() & kExecutable;
    if (!ec && bits != fs::perms::none) fs::permissions(to, bits, fs::perm_options::add, ec);
}

bool SwapThroughSetAside(const fs::path& replacement, const fs::path& self, const fs::path& setAside) {
    if (MoveReplacing(self, setAside) != MoveOutcome::Moved) {
        LogLine(L"Could not set the running updater aside as " + PathToWide(setAside.filename()) + L".");
        return false;
    }
    if (PlaceFile(replacement, self)) {
        LogLine(L"The running updater was set aside as " + PathToWide(setAside.filename()) +
                L"; it is removed at the next start.");
        return true;
    }
    if (MoveReplacing(setAside, self) == MoveOutcome::Moved)
        LogLine(L"Could not move the new updater in; the running one stays.");
    else
        LogLine(L"Could not move the new updater in, nor the running one back from " + PathToWide(setAside) + L".");
    return false;
}

}  // namespace

UpdaterSwap ReplaceRunningUpdater(const fs::path& extractDir, const fs::path& installDir, const fs::path& self) {
    if (self.empty()) return UpdaterSwap::NotInPackage;
    const fs::path replacement = PackagedCopyOf(self, extractDir, installDir);
    if (replacement.empty()) return UpdaterSwap::NotInPackage;
    KeepExecutableBits(self, replacement);
    const fs::path setAside = installDir / WideToPath(SetAsideUpdaterName());
    if (!PlaceFile(replacement, self) && !SwapThroughSetAside(replacement, self, setAside)) {
        LogLine(L"The updater could not be replaced: " + PathToWide(self));
        return UpdaterSwap::Failed;
    }
    LogLine(L"Copied: " + PathToWide(self));
    // A copy across volumes leaves the package's file behind: the copy phase
    // must not place it a second time.
    RemoveQuietly(replacement);
    return UpdaterSwap::Replaced;
}

void RemoveSetAsideUpdater(const fs::path& installDir) {
    const std::wstring name = SetAsideUpdaterName();
    const fs::path setAside = installDir / WideToPath(name);
    std::error_code ec;
    if (!fs::exists(EntryStatus(setAside, ec))) return;
    ClearReadOnly(setAside);
    RemoveEntry(setAside, ec);
    LogLine(ec ? L"Could not remove the previous updater " + name + L"; trying again at the next start."
               : L"Removed the previous updater " + name + L".");
}
