#pragma once
// version.txt: "game-version" and "updater-version" key-colon-value lines; the
// remote one may also describe the packages ("update-sha256", "update-size",
// "update-index-sha256", "maps-sha256", "maps-size"). The local one holds the two versions only.

#include <filesystem>
#include <string>
#include <string_view>

#include "base/text.h"
#include "integrity/package_check.h"

struct VersionInfo {
    std::string gameVersion;
    std::string updaterVersion;
    PackageCheck updatePackage{};  // never written to the local file
    PackageCheck mapsPackage{};
};

// Overwrites the fields whose keys the file holds; false when it cannot be opened.
bool ReadVersionFile(const std::filesystem::path& path, VersionInfo& info);
// Writes the two version lines with CR LF; false when the file could not be written whole.
bool WriteVersionFile(const std::filesystem::path& path, const VersionInfo& info);
// The text without the spaces, tabs, CRs and LFs around it, as keys and values are read.
std::string_view TrimBlanks(std::string_view text);
// -1 when a is older than b, 0 when equal, 1 when newer.
int CompareVersions(const std::string& a, const std::string& b);
