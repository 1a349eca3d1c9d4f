#include "apply/safelist.h"

#include <algorithm>
#include <fstream>
#include <istream>
#include <sstream>
#include <system_error>

#include "apply/ascii_case.h"
#include "apply/own_executable.h"
#include "apply/wildcard_match.h"
#include "services/text.h"

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

// Raw bytes, lines ending at each LF; a read error ends the reading and keeps
// what was read.
Safelist ReadEntries(std::istream& in) {
    Safelist entries;
    std::string line;
    while (std::getline(in, line, '\n')) AppendEntryOfLine(line, entries);
    return entries;
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
    bool below = path.size() > entry.size() && path[entry.size()] == L'\\' &&
                 StartsWithIgnoringAsciiCase(path, entry);
    return below || EqualsIgnoringAsciiCase(path, entry);
}

}  // namespace

bool SafelistExists(const std::filesystem::path& installDir) {
    // An existence test that cannot answer (access refused) counts as no safelist:
    // then nothing is deleted, which never loses a file.
    std::error_code ec;
    return std::filesystem::exists(installDir / "safelist.txt", ec) && !ec;
}

Safelist LoadSafelist(const std::filesystem::path& installDir) {
    std::ifstream in(installDir / "safelist.txt", std::ios::binary);
    if (!in) return {};
    return ReadEntries(in);
}

Safelist ParseSafelist(const std::string& bytes) {
    std::istringstream in(bytes);
    return ReadEntries(in);
}

void AppendProtectedNames(Safelist& patterns) {
    static const wchar_t* const kProtectedNames[] = {L"torvane.exe", L"Updater.exe", L"version.txt", L"updater.log",
                                                     L"_updater_just_ran.flag"};
    for (const wchar_t* name : kProtectedNames) patterns.emplace_back(name);
    // On POSIX the program's own file is "Updater", and a running file can be unlinked there.
    if (OwnExecutableName() != L"Updater.exe") patterns.push_back(OwnExecutableName());
}

void NormalizeRelativePath(std::wstring& path) {
    std::replace(path.begin(), path.end(), L'/', L'\\');
    std::size_t end = path.find_last_not_of(L'\\');
    path.erase(end == std::wstring::npos ? 0 : end + 1);
}

bool MatchesSafelist(const std::wstring& relativePath, const Safelist& patterns) {
    return std::any_of(patterns.begin(), patterns.end(),
                       [&](const std::wstring& entry) { return EntryKeeps(entry, relativePath); });
}
