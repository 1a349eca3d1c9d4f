#pragma once
// Never-throwing file-system steps. The portable code asks the file system
// through these rather than through the standard library: the Windows
// build's standard library answers through a C runtime that refuses the
// "\\?\" form of long paths (see long_path.h), so its half calls the system
// itself. Each mirrors the standard function of the same shape: the result,
// and ec set when the system reported an error.
#include <cstdint>
#include <filesystem>
#include <system_error>

// What stands at the path, a link (or a Windows junction) not followed, as
// std::filesystem::symlink_status tells it.
std::filesystem::file_status EntryStatus(const std::filesystem::path& path, std::error_code& ec);
// What the path leads to, links followed, as std::filesystem::status tells it.
std::filesystem::file_status TargetStatus(const std::filesystem::path& path, std::error_code& ec);
// The size of a file.
std::uint64_t FileSize(const std::filesystem::path& file, std::error_code& ec);
// Cuts or extends a file to the size.
void ResizeFile(const std::filesystem::path& file, std::uint64_t size, std::error_code& ec);
// Removes a file, a link (never its target) or an empty directory; false when
// there was nothing to remove or it could not be removed (ec says which).
bool RemoveEntry(const std::filesystem::path& path, std::error_code& ec);
// Creates the directory; false when it was there already or could not be made.
bool MakeDirectory(const std::filesystem::path& directory, std::error_code& ec);
// Creates the directory and any missing directory above it.
bool MakeDirectories(const std::filesystem::path& directory, std::error_code& ec);
// True for a directory that holds nothing.
bool IsEmptyDirectory(const std::filesystem::path& directory, std::error_code& ec);

// Removes a file or an empty directory if it can; a failure is ignored.
void RemoveQuietly(const std::filesystem::path& path);
// True when the two paths name the same file or directory on disk, whatever
// their spelling (also when they are spelled alike).
bool IsSameFile(const std::filesystem::path& a, const std::filesystem::path& b);

// Platform part: true when both exist and are one file or directory.
bool AreOneFile(const std::filesystem::path& a, const std::filesystem::path& b);
