#pragma once
// File-system steps in the never-throwing form, for the places where a failure
// only means "no".

#include <filesystem>

// Removes a file or an empty directory if it can; a failure is ignored (the
// caller has nothing better to do, or a later run tries again).
void RemoveQuietly(const std::filesystem::path& path);

// True when the two paths name the same file or directory on disk, whatever
// their spelling; also when they are spelled alike.
bool IsSameFile(const std::filesystem::path& a, const std::filesystem::path& b);
