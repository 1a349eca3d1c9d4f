#include "delta/installed_entries.h"

#include <system_error>

#include "base/log.h"
#include "base/tree_walk.h"
#include "rules/own_executable.h"
#include "rules/working_names.h"

namespace fs = std::filesystem;

namespace {

void ReadIndexOnce(InstalledEntries& installed) {
    if (installed.indexRead) return;
    installed.indexRead = true;
    InstalledIndex index;
    std::wstring why;
    if (ReadInstalledIndex(installed.installDir, index, why))
        installed.known.push_back(std::move(index));
    else if (!why.empty())
        LogLine(std::wstring(kInstalledIndexName) + L" is not used (" + why + L"); every file is unpacked.");
}

// The real directories and regular files of `directory`, by their names as stored.
std::unordered_set<fs::path::string_type> NamesIn(const fs::path& directory) {
    std::unordered_set<fs::path::string_type> names;
    std::error_code ec;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec))
        if (IsRealDirectory(*it) || IsRegularFile(*it)) names.insert(it->path().filename().native());
    return names;
}

// Each component of `relative` is named so on the disk, letter case too, and
// none is a link: the delete phase, which compares names exactly, finds the
// file under the package's name.
bool NamedExactly(InstalledEntries& installed, const fs::path& relative) {
    fs::path directory = installed.installDir;
    std::size_t depth = 0;
    for (const fs::path& component : relative) {
        if (installed.listed.size() <= depth) installed.listed.resize(depth + 1);
        InstalledEntries::Listed& listed = installed.listed[depth];
        if (listed.directory != directory) listed = {directory, NamesIn(directory)};
        if (!listed.names.contains(component.native())) return false;
        directory /= component;
        ++depth;
    }
    return depth > 0;
}

bool RecordVouches(
    const InstalledIndex& index, const ZipEntry& entry, const fs::path& relative, const FileIdentity& identity) {
    const auto content = TrustedContentOf(index, relative, identity);
    if (!content || content->crc != entry.crc) return false;
    return content->digest.empty() || entry.contentSha256.empty() || content->digest == entry.contentSha256;
}

}  // namespace

void AddComparedEntries(InstalledEntries& installed, const DifferentialPlan& plan) {
    IndexBuilder compared;
    for (const SeenFile& seen : plan.seen)
        AddToIndex(compared, RelativePath(plan.directory, *seen.listed), seen.crc, {}, &seen.identity);
    if (compared.records.empty()) return;
    InstalledIndex index;
    index.bytes = EncodeIndex(compared);
    index.count = static_cast<std::uint32_t>(compared.records.size());  // what EncodeIndex kept
    installed.known.insert(installed.known.begin(), std::move(index));
}

bool IsInstalledAlready(InstalledEntries& installed, const ZipEntry& entry, const fs::path& relative) {
    ReadIndexOnce(installed);
    if (installed.known.empty() || relative.empty()) return false;
    const fs::path file = installed.installDir / relative;
    FileIdentity identity;
    if (!ReadFileIdentity(file, identity) || identity.size != entry.uncompressedSize) return false;
    bool vouched = false;
    for (const InstalledIndex& index : installed.known)
        vouched = vouched || RecordVouches(index, entry, relative, identity);
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
