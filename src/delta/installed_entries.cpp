#include "delta/installed_entries.h"

#include <system_error>

#include "base/file_system.h"
#include "base/give_back.h"
#include "base/log.h"
#include "base/long_path.h"
#include "base/tree_walk.h"
#include "rules/own_executable.h"
#include "rules/working_names.h"

namespace fs = std::filesystem;

namespace {

void ReadIndexOnce(InstalledEntries& installed) {
    if (installed.indexRead) return;
    installed.indexRead = true;
    std::wstring why;
    if (!ReadInstalledIndex(installed.installDir, installed.index, why) && !why.empty())
        LogLine(std::wstring(kInstalledIndexName) + L" is not used (" + why + L"); every file is unpacked.");
}

// The real directories and regular files of `directory`, by their names as stored.
std::unordered_set<fs::path::string_type> NamesIn(const fs::path& directory) {
    std::unordered_set<fs::path::string_type> names;
    std::error_code ec;
    for (fs::directory_iterator it(LongPath(directory), ec), end; !ec && it != end; it.increment(ec))
        if (IsRealDirectory(*it) || IsRegularFile(*it)) names.insert(it->path().filename().native());
    return names;
}

// True unless the file system of the install directory tells names that
// differ in letter case apart: the index's name in capitals is another file.
bool FoldsCase(const fs::path& installDir) {
    std::wstring capitals = kInstalledIndexName;
    for (wchar_t& c : capitals)
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    std::error_code ec;
    const fs::path index = installDir / kInstalledIndexName;
    return EntryStatus(index, ec).type() != fs::file_type::regular || AreOneFile(index, installDir / capitals);
}

// Each component of `relative` is named so on the disk, letter case too: the
// delete phase, which compares names exactly, finds the file under the
// package's name. Where the file system tells the cases apart, the path
// resolved says so; elsewhere the directories are listed, the last one at each
// depth kept, and given up (the file unpacked) once that costs far more names
// than files asked about, as a package in no folder order could.
bool NamedExactly(InstalledEntries& installed, const fs::path& relative) {
    if (!installed.foldsCase) installed.foldsCase = FoldsCase(installed.installDir);
    if (!*installed.foldsCase) return true;
    ++installed.asked;
    if (installed.namesListed > 16 * installed.asked + 65536) return false;
    fs::path directory = installed.installDir;
    std::size_t depth = 0;
    for (const fs::path& component : relative) {
        if (installed.listed.size() <= depth) installed.listed.resize(depth + 1);
        InstalledEntries::Listed& listed = installed.listed[depth];
        if (listed.directory != directory) {
            listed = {directory, NamesIn(directory)};
            installed.namesListed += listed.names.size();
        }
        if (!listed.names.contains(component.native())) return false;
        directory /= component;
        ++depth;
    }
    return depth > 0;
}

// `records`: the index read, or the comparison's files.
bool RecordVouches(const auto& records, const ZipEntry& entry, const fs::path& relative, const FileIdentity& identity) {
    const auto content = TrustedContentOf(records, relative, identity);
    if (!content || content->crc != entry.crc) return false;
    return content->digest.empty() || entry.contentSha256.empty() || content->digest == entry.contentSha256;
}

}  // namespace

void AddComparedEntries(InstalledEntries& installed, DifferentialPlan& plan) {
    installed.compared = std::move(plan.compared);
    NameIndexRecords(installed.compared, plan.directory.paths);
    TidyIndex(installed.compared);
    installed.comparedAll = plan.comparedAll;
}

void ForgetInstalledEntries(InstalledEntries& installed) {
    GiveBack(installed.compared);
    installed.comparedAll = false;
    GiveBack(installed.index);
    GiveBack(installed.listed);
}

bool IsInstalledAlready(InstalledEntries& installed, const ZipEntry& entry, const fs::path& relative) {
    ReadIndexOnce(installed);
    if ((installed.index.count == 0 && installed.compared.records.empty()) || relative.empty()) return false;
    const fs::path file = installed.installDir / relative;
    FileIdentity identity;
    if (!ReadFileIdentity(file, identity) || identity.size != entry.uncompressedSize) return false;
    const bool vouched = RecordVouches(installed.compared, entry, relative, identity) ||
                         RecordVouches(installed.index, entry, relative, identity);
    if (!vouched || !NamedExactly(installed, relative)) return false;
    ++installed.leftInPlace;
    if (!relative.has_parent_path() && IsRunningExecutable(file)) installed.updaterLeftInPlace = true;
    return true;
}

AlreadyInstalled InstalledCheck(InstalledEntries& installed) {
    return [&installed](const ZipEntry& entry, const fs::path& relative) {
        return IsInstalledAlready(installed, entry, relative);
    };
}
