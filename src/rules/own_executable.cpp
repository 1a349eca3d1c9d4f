#include "rules/own_executable.h"

#include "base/file_system.h"
#include "base/install_directory.h"

bool IsRunningExecutable(const std::filesystem::path& file) {
    const std::filesystem::path self = RunningExecutablePath();
    return !self.empty() && IsSameFile(file, self);
}
