#pragma once
// The updater's own program file: it is never deleted, a package that holds it
// replaces it (see self_update.h), and a failed move onto it does not make an
// update incomplete.

#include <filesystem>
#include <string>

// "Updater.exe" on Windows, "Updater" on POSIX.
std::wstring OwnExecutableName();
// The name the running updater is set aside under while its replacement moves
// in: "Updater.exe.old" on Windows, "Updater.old" on POSIX.
std::wstring SetAsideUpdaterName();
// True when the file is the running executable itself: the same file, whatever
// its name or spelling (letter case on Windows).
bool IsRunningExecutable(const std::filesystem::path& file);
