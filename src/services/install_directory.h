#pragma once
#include <filesystem>

// The directory that holds the running executable (empty if it cannot be read).
std::filesystem::path GetInstallDirectory();
