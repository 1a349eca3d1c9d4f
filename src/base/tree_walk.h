#pragma once
// The walk behind the delete and copy phases: every entry below a root, a
// directory before its contents, never through a link to a directory, and
// never throwing. An entry or subdirectory that cannot be read is skipped and
// the walk goes on; the result says whether anything was skipped that way.

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

enum class WalkStep { Continue, SkipChildren, Stop };
using WalkVisitor = std::function<WalkStep(const std::filesystem::directory_entry&)>;

// False when the root could not be opened, a subdirectory could not be read to
// its end, or the visitor stopped the walk: the caller has not seen everything.
bool WalkTree(const std::filesystem::path& root, const WalkVisitor& visit);

// Platform part: the entries of one directory, in no particular order. False
// when the directory cannot be opened or read to its end (what was read stays
// in entries).
bool ReadDirectory(const std::filesystem::path& directory, std::vector<std::filesystem::directory_entry>& entries);

// True for a regular file (a link to one counts too).
bool IsRegularFile(const std::filesystem::directory_entry& entry);
// True for a directory that is not a link (nor a Windows junction).
bool IsRealDirectory(const std::filesystem::directory_entry& entry);
// True for a link or reparse point, whatever it points to.
bool IsLinkEntry(const std::filesystem::directory_entry& entry);

// The entry's path relative to root in the platform's own form (its separator),
// or empty when it does not lie below root. Computed from the text of the
// walk's own paths: the walk never crosses a link, so no resolution is needed.
std::filesystem::path::string_type RelativeNativePath(
    const std::filesystem::path& entry, const std::filesystem::path& root);
// A relative native path as the safelist matches it and the log shows it:
// '\' separators, no trailing '\'.
std::wstring ToSafelistForm(const std::filesystem::path::string_type& relativePath);
// Every '/' becomes '\', then trailing '\' are removed.
void NormalizeRelativePath(std::wstring& path);

// Every real directory below root (links are left out), longest path text
// first, so each directory comes before the one holding it. The subtree at
// `excluded` (if it lies below root) is left out with its root.
std::vector<std::filesystem::path> ListDirectoriesLongestFirst(
    const std::filesystem::path& root, const std::filesystem::path& excluded = {});

// Removes a directory with everything below it (links are removed, never
// entered; read-only files lose that bit first). Unlike the standard remove_all
// it also works where paths grow past 260 characters on Windows. True when the
// directory is gone afterwards.
bool RemoveTree(const std::filesystem::path& root);
// Removes everything below the directory and leaves it there, empty (made
// when it was missing).
void EmptyDirectory(const std::filesystem::path& directory);
