#pragma once
// Never-throwing file-system steps for the places where a failure only means "no".
#include <filesystem>

// Removes a file or an empty directory if it can; a failure is ignored.
void RemoveQuietly(const std::filesystem::path& path);
// True when the two paths name the same file or directory on disk, whatever
// their spelling (also when they are spelled alike).
bool IsSameFile(const std::filesystem::path& a, const std::filesystem::path& b);
