#include "rules/safelist.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <istream>
#include <sstream>
#include <system_error>

#include "base/ascii_case.h"
#include "base/atomic_file.h"
#include "base/file_system.h"
#include "base/long_path.h"
#include "base/text.h"
#include "base/tree_walk.h"
#include "rules/own_executable.h"
#include "rules/wildcard_match.h"

namespace {

// Applies the line rules (trailing blanks and line ends cut, comments and
// empty results dropped) and appends the entry a line gives, if any.
void AppendEntryOfLine(std::string& line, Safelist& entries) {
    std::size_t end = line.find_last_not_of("\r\n \t");
    line.erase(end == std::string::npos ? 0 : end + 1);
    if (line.empty() || line[0] == '#' || line[0] == ';') return;
    std::wstring entry = Utf8ToWide(line);
    NormalizeRelativePath(entry);
    if (!entry.empty()) entries.push_back(std::move(entry));
}

// Raw bytes, lines ending at each LF. A byte-order mark at the start is not
// part of the first line: an editor that adds one must not void its pattern.
Safelist ReadEntries(std::istream& in) {
    Safelist entries;
    std::string line;
    for (bool first = true; std::getline(in, line, '\n'); first = false) {
        if (first && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
        AppendEntryOfLine(line, entries);
    }
    return entries;
}

// The reason the C library gives for the last failure, if any.
std::wstring SystemReason() {
    const int error = errno;
    return error == 0 ? std::wstring() : L" (" + Utf8ToWide(std::generic_category().message(error)) + L")";
}

bool HasWildcard(const std::wstring& entry) { return entry.find_first_of(L"*?") != std::wstring::npos; }

std::wstring WithForwardSlashes(std::wstring text) {
    std::replace(text.begin(), text.end(), L'\\', L'/');
    return text;
}

bool EntryKeeps(const std::wstring& entry, const std::wstring& path) {
    if (HasWildcard(entry))
        return PlatformPathMatchSpec(path, entry) ||
               PlatformPathMatchSpec(WithForwardSlashes(path), WithForwardSlashes(entry));
    // A plain entry keeps itself and everything below a directory of that name.
    bool below = path.size() > entry.size() && path[entry.size()] == L'\\' && StartsWithIgnoringAsciiCase(path, entry);
    return below || EqualsIgnoringAsciiCase(path, entry);
}

}  // namespace

bool SafelistExists(const std::filesystem::path& installDir) {
    // An existence test that cannot answer (access refused) counts as no safelist:
    // then nothing is deleted, which never loses a file.
    std::error_code ec;
    return std::filesystem::exists(TargetStatus(installDir / "safelist.txt", ec)) && !ec;
}

bool LoadSafelist(const std::filesystem::path& installDir, Safelist& entries, std::wstring& problem) {
    errno = 0;
    std::ifstream in(LongPath(installDir / "safelist.txt"), std::ios::binary);
    if (!in) {
        problem = L"cannot be opened" + SystemReason();
        return false;
    }
    entries = ReadEntries(in);
    // A directory opens on POSIX and fails at the first read.
    if (in.bad() || !in.eof()) {
        problem = L"cannot be read to its end" + SystemReason();
        return false;
    }
    return true;
}

Safelist ParseSafelist(const std::string& bytes) {
    std::istringstream in(bytes);
    return ReadEntries(in);
}

void AppendProtectedNames(Safelist& patterns) {
    static const wchar_t* const kProtectedNames[] = {L"torvane.exe", L"Updater.exe", L"version.txt", L"updater.log",
                                                     L"_updater_just_ran.flag"};
    // The updater's own working files: the log's day stamp (without it the next
    // start empties the log of this very update), the maps marker, the
    // temporaries of version.txt and of the downloads, and PlaceFile's copies.
    static const wchar_t* const kWorkingFiles[] = {L"updater.log.ts",  L"__maps_pending",
                                                   L"version.txt.tmp", L"__remote_version.txt",
                                                   L"update.zip.part", L"__remote_version.txt.part"};
    for (const wchar_t* name : kProtectedNames) patterns.emplace_back(name);
    for (const wchar_t* name : kWorkingFiles) patterns.emplace_back(name);
    patterns.push_back(std::wstring(L"*") + kPlacingSuffix);
    patterns.push_back(SetAsideUpdaterName());
    // On POSIX the program's own file is "Updater", and a running file can be unlinked there.
    if (OwnExecutableName() != L"Updater.exe") patterns.push_back(OwnExecutableName());
}

bool MatchesSafelist(const std::wstring& relativePath, const Safelist& patterns) {
    return std::any_of(patterns.begin(), patterns.end(),
                       [&](const std::wstring& entry) { return EntryKeeps(entry, relativePath); });
}
