#include "rules/safelist.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <system_error>

#include "base/ascii_case.h"
#include "base/atomic_file.h"
#include "base/file_system.h"
#include "base/long_path.h"
#include "base/text.h"
#include "base/tree_walk.h"
#include "rules/own_executable.h"
#include "rules/wildcard_match.h"
#include "rules/working_names.h"

namespace {

// The length of the leading '\' and ".\" of a pattern in normal form: each
// only says "from the install directory", which every pattern means anyway.
std::size_t RootPrefixLength(const std::wstring& entry) {
    for (std::size_t at = 0;;) {
        if (entry.compare(at, 1, L"\\") == 0)
            at += 1;
        else if (entry.compare(at, 2, L".\\") == 0)
            at += 2;
        else
            return at;
    }
}

// Applies the line rules (trailing blanks and line ends cut, comments dropped,
// the root prefix dropped, empty results dropped) and appends the entry a line
// gives, if any.
void AppendEntryOfLine(std::string line, Safelist& entries, std::vector<std::wstring>* rooted) {
    std::size_t end = line.find_last_not_of("\r\n \t");
    line.erase(end == std::string::npos ? 0 : end + 1);
    if (line.empty() || line[0] == '#' || line[0] == ';') return;
    std::wstring entry = Utf8ToWide(line);
    NormalizeRelativePath(entry);
    const std::size_t root = RootPrefixLength(entry);
    if (root != 0 && rooted != nullptr) rooted->push_back(Utf8ToWide(line));
    entry.erase(0, root);
    if (!entry.empty()) entries.push_back(std::move(entry));
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
    std::string bytes;
    char chunk[4096];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) bytes.append(chunk, static_cast<std::size_t>(in.gcount()));
    // A directory opens on POSIX and fails at the first read.
    if (in.bad() || !in.eof()) {
        problem = L"cannot be read to its end" + SystemReason();
        return false;
    }
    problem = UnreadableSafelistReason(bytes);
    if (!problem.empty()) return false;
    entries = ParseSafelist(bytes);
    return true;
}

// Read as UTF-8, UTF-16 text gives patterns that keep nothing; it is refused
// whole, as any NUL byte is: no UTF-8 text holds one.
std::wstring UnreadableSafelistReason(const std::string& bytes) {
    if (bytes.starts_with("\xFF\xFE")) return L"is UTF-16 (it starts with FF FE)";
    if (bytes.starts_with("\xFE\xFF")) return L"is UTF-16 (it starts with FE FF)";
    if (bytes.find('\0') != std::string::npos) return L"holds a NUL byte";
    return {};
}

// Raw bytes, lines ending at each LF. A byte-order mark at the start is not
// part of the first line: an editor that adds one must not void its pattern.
Safelist ParseSafelist(const std::string& bytes, std::vector<std::wstring>* rooted) {
    Safelist entries;
    for (std::size_t start = bytes.starts_with("\xEF\xBB\xBF") ? 3 : 0; start < bytes.size();) {
        std::size_t end = std::min(bytes.find('\n', start), bytes.size());
        AppendEntryOfLine(bytes.substr(start, end - start), entries, rooted);
        start = end + 1;
    }
    return entries;
}

void AppendProtectedNames(Safelist& patterns) {
    static const wchar_t* const kProtectedNames[] = {
        L"torvane.exe", L"Updater.exe", L"version.txt", L"updater.log", L"_updater_just_ran.flag"};
    // The updater's own working files: the log's day stamp (without it the next
    // start empties the log of this very update), the maps marker, the
    // index of the installed files, the temporaries of version.txt, of the index
    // and of the downloads, and PlaceFile's copies.
    static const wchar_t* const kWorkingFiles[] = {L"updater.log.ts", L"__maps_pending", kInstalledIndexName,
        kInstalledIndexTemporary, L"version.txt.tmp", L"__remote_version.txt", L"update.zip.part",
        L"__remote_version.txt.part"};
    for (const wchar_t* name : kProtectedNames) patterns.emplace_back(name);
    for (const wchar_t* name : kWorkingFiles) patterns.emplace_back(name);
    patterns.push_back(std::wstring(L"*") + kPlacingSuffix);
    patterns.push_back(SetAsideUpdaterName());
    // On POSIX the program's own file is "Updater", and a running file can be unlinked there.
    if (OwnExecutableName() != L"Updater.exe") patterns.push_back(OwnExecutableName());
}

bool MatchesSafelist(const std::wstring& relativePath, const Safelist& patterns) {
    return std::any_of(
        patterns.begin(), patterns.end(), [&](const std::wstring& entry) { return EntryKeeps(entry, relativePath); });
}
