#pragma once
// The names the updater itself works under, which no package may hold: a file
// of update.zip at one of them would be copied over the updater's log, marker
// or download, or into its own extraction folder; a file of maps.zip at the
// maps package's name would be written over the package while it is read.
// They are safelist patterns, matched as the delete phase matches its
// protected names (MatchesSafelist: A to Z in either case, a plain name also
// covers what lies below it, '*' at any depth).

#include "rules/safelist.h"

// The index of the installed files (delta/installed_index.h), in the install directory.
inline constexpr wchar_t kInstalledIndexName[] = L"__installed_files.index";
inline constexpr wchar_t kInstalledIndexTemporary[] = L"__installed_files.index.tmp";

// In the install directory: "_update_temp", "update.zip", "updater.log",
// "updater.log.ts", "__remote_version.txt", "__maps_pending", the index of
// the installed files and its temporary, the downloads' part files ("update.zip.part", "__remote_version.txt.part",
// "*.resume.part"), PlaceFile's "*.updater.part", and the set-aside updater of either build
// ("Updater.exe.old", "Updater.old").
const Safelist& InstallWorkingNames();
// In the data directory: the maps package "__maps.zip" and its part files.
const Safelist& DataWorkingNames();
