#pragma once
// Where the running program lies: the install directory is the one that holds it.
#include <filesystem>

// Full path of the running executable; empty when it cannot be read.
std::filesystem::path RunningExecutablePath();
// The directory that holds the running executable (empty if it cannot be read).
std::filesystem::path GetInstallDirectory();
