#pragma once
// The updater replaces itself when an update package holds its own file.

#include <filesystem>

#include "base/install_directory.h"
#include "rules/own_executable.h"

enum class UpdaterSwap { NotInPackage, Replaced, Failed };

// Looks at the top level of extractDir for the file that belongs where the
// running updater `self` stands in installDir, recognised by identity, so a
// renamed updater is found under its own name. That file is moved over `self`
// in one step; where the platform refuses to replace a running program
// (Windows), `self` is first renamed aside to SetAsideUpdaterName() in
// installDir and the new file moved in. Logs "Copied: " + path when replaced;
// when not, logs why, and the running updater and the package's file stay
// where they were.
UpdaterSwap ReplaceRunningUpdater(const std::filesystem::path& extractDir, const std::filesystem::path& installDir,
    const std::filesystem::path& self = RunningExecutablePath());

// Removes the updater an earlier run set aside, logging it; a file that cannot
// be removed yet is left for the next start.
void RemoveSetAsideUpdater(const std::filesystem::path& installDir);
