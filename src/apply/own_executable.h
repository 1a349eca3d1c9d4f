#pragma once
// The updater's own program file: it is never deleted, and a failed copy onto
// it (a running program cannot be replaced) does not make an update incomplete.

#include <filesystem>
#include <string>

// "Updater.exe" on Windows, "Updater" on POSIX.
std::wstring OwnExecutableName();
// Full path of the running executable; empty when it cannot be read.
std::filesystem::path RunningExecutablePath();
// True when the file is the running executable itself (same file, whatever spelling).
bool IsRunningExecutable(const std::filesystem::path& file);
