#pragma once
#include <filesystem>

#include "version/version_file.h"

// Downloads update.zip, unpacks it into _update_temp, applies it (delete phase
// when safelist.txt exists, copy phase, removal of emptied directories) and
// records the new game version. True only when every package file reached the
// installation and version.txt was written anew.
bool RunInstallStage(const std::filesystem::path& installDir, const VersionInfo& local, const VersionInfo& remote);
