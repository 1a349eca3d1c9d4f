#pragma once
// version.txt: "game-version" and "updater-version" key-colon-value lines.

#include <filesystem>
#include <string>

#include "services/text.h"

struct VersionInfo {
    std::string gameVersion;
    std::string updaterVersion;
};

// Overwrites the fields whose keys the file holds; false when it cannot be opened.
bool ReadVersionFile(const std::filesystem::path& path, VersionInfo& info);
// Writes both lines with CR LF; false when the file could not be written whole.
bool WriteVersionFile(const std::filesystem::path& path, const VersionInfo& info);
// -1 when a is older than b, 0 when equal, 1 when newer.
int CompareVersions(const std::string& a, const std::string& b);
