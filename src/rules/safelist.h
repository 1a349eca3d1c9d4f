#pragma once
// safelist.txt and the protected names: the patterns that keep installed files
// and directories from the delete phase.

#include <filesystem>
#include <string>
#include <vector>

// Entries in file order; each non-empty, without '/', not ending in '\'.
using Safelist = std::vector<std::wstring>;

// True when an entry named "safelist.txt" (of any kind) exists in the install directory.
bool SafelistExists(const std::filesystem::path& installDir);
// The entries of installDir/safelist.txt. False when the file cannot be opened
// or read to its end, or is UTF-16 or holds a NUL byte (then no entry may be
// trusted); `problem` then says why, for the log, e.g. "cannot be opened
// (Permission denied)".
bool LoadSafelist(const std::filesystem::path& installDir, Safelist& entries, std::wstring& problem);
// Why the bytes of a safelist file are no UTF-8 text that patterns may be
// read from: "is UTF-16 (it starts with FF FE)" (or FE FF), "holds a NUL
// byte"; empty when they are.
std::wstring UnreadableSafelistReason(const std::string& bytes);
// The entries of the bytes of one safelist file; a UTF-8 byte-order mark at
// the start is skipped. A leading "/", "\", "./" or ".\" is dropped from a
// pattern: patterns are relative to the install directory anyway. `rooted`,
// when given, receives each such pattern as written.
Safelist ParseSafelist(const std::string& bytes, std::vector<std::wstring>* rooted = nullptr);
// Appends "torvane.exe", "Updater.exe", "version.txt", "updater.log",
// "_updater_just_ran.flag", then the updater's working files ("updater.log.ts",
// "__maps_pending", "version.txt.tmp", "__remote_version.txt", the downloads'
// ".part" files, PlaceFile's temporaries at any depth, the set-aside updater)
// and, where the program's own file has another name ("Updater" on POSIX),
// that name too.
void AppendProtectedNames(Safelist& patterns);
// True when some entry keeps the relative path (normal form).
bool MatchesSafelist(const std::wstring& relativePath, const Safelist& patterns);
