#include "base/install_directory.h"

std::filesystem::path GetInstallDirectory() { return RunningExecutablePath().parent_path(); }
