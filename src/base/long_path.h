#pragma once
// The spelling of a path that the platform's file calls accept at any length.
// Windows refuses paths of 260 characters or more unless they are written in
// the "\\?\" form (or the machine has opted in to long paths); every file call
// of the Windows build, and every stream the portable code opens, goes
// through this.

#include <filesystem>

// On Windows an absolute path becomes "\\?\C:\..." or "\\?\UNC\server\share\...",
// with '/' turned into '\' and "." and ".." resolved, since that form is
// passed to the file system as it stands. A relative path, a drive-relative
// one ("C:x", "\x") and one already in a "\\?\" or "\\.\" form stay as they are.
// Elsewhere the path itself.
std::filesystem::path LongPath(const std::filesystem::path& path);
