#include "userdata/data_directory.h"

#include <system_error>
#include <vector>

#include "base/ascii_case.h"
#include "base/file_system.h"
#include "base/log.h"
#include "base/text.h"
#include "base/tree_walk.h"

namespace fs = std::filesystem;

namespace {

// Removes one entry of the data directory; false when the removal failed.
bool RemoveDataEntry(const fs::directory_entry& entry) {
    std::error_code ec;
    if (fs::is_directory(TargetStatus(entry.path(), ec))) {
        LogLine(L"Removing dir in Data: " + PathToWide(entry.path()));
        // A link is taken away without entering it.
        return RemoveTree(entry.path());
    }
    if (IsRegularFile(entry)) {
        LogLine(L"Removing file in Data: " + PathToWide(entry.path()));
        RemoveEntry(entry.path(), ec);
        return !ec;
    }
    return true;  // any other kind of entry stays, without a line
}

}  // namespace

bool IsKeptDataEntry(const std::wstring& name) {
    return EqualsIgnoringAsciiCase(name, L"Replays") || EqualsIgnoringAsciiCase(name, L"__maps.zip");
}

fs::path ResolveDataDirectory() {
    fs::path documents = FindDocumentsFolder();
    if (documents.empty()) return {};
    // Appended to the folder's text as it stands: a trailing separator there gives two in a row.
    fs::path::string_type text = documents.native();
    text += fs::path::preferred_separator;
    text += fs::path("Ardentfall Data").native();
    return fs::path(text);
}

void CleanDataDirectory(const fs::path& dataDir) {
    std::error_code ec;
    if (!fs::exists(TargetStatus(dataDir, ec)) || ec) return;
    std::vector<fs::directory_entry> entries;
    ReadDirectory(dataDir, entries);
    for (const fs::directory_entry& entry : entries) {
        if (IsKeptDataEntry(PathToWide(entry.path().filename()))) continue;
        if (!RemoveDataEntry(entry)) break;
    }
    MakeDirectories(dataDir / "Replays", ec);
}
