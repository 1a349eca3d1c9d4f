#pragma once
// The per-user data directory "Ardentfall Data" under Documents, emptied
// (except its replays) before the maps are unpacked into it.

#include <filesystem>
#include <string>

// The Documents folder's text with "\Ardentfall Data" appended (on POSIX
// "/Ardentfall Data"); empty when no Documents folder is known. Neither tests
// nor creates the directory.
std::filesystem::path ResolveDataDirectory();

// Removes every entry of the data directory (one level; directories with all
// they hold) except "Replays" in any letter case and the maps stage's download
// "__maps.zip", logging "Removing dir in Data: " / "Removing file in Data: " +
// path first. The first failed removal ends the cleaning. Afterwards the
// directory "Replays" is created if missing. A missing data directory is left alone.
void CleanDataDirectory(const std::filesystem::path& dataDir);

// True for the entry names the cleaning leaves in place.
bool IsKeptDataEntry(const std::wstring& name);

// Finds the Documents folder through the platform; empty when none is known.
std::filesystem::path FindDocumentsFolder();
