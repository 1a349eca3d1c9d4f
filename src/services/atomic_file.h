#pragma once
// Files that are either wholly old or wholly new, even when the process or the
// machine stops in the middle of writing them.
#include <filesystem>
#include <string>

// Writes the bytes to a sibling "<name>.tmp", flushes them to the disk and
// moves the sibling over the file. False (and the file untouched) on failure.
bool WriteFileAtomically(const std::filesystem::path& file, const std::string& bytes);

// Platform part: writes the bytes and flushes them to the disk.
bool WriteAndFlush(const std::filesystem::path& file, const std::string& bytes);

// Moves a finished file over the destination, replacing it in one step.
bool ReplaceFileWith(const std::filesystem::path& finished, const std::filesystem::path& destination);
