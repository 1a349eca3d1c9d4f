#include "apply/own_executable.h"

#include "services/file_system.h"
#include "services/install_directory.h"

bool IsRunningExecutable(const std::filesystem::path& file) {
    const std::filesystem::path self = RunningExecutablePath();
    return !self.empty() && IsSameFile(file, self);
}
