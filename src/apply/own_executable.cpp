#include "apply/own_executable.h"

#include <system_error>

#include "services/install_directory.h"

bool IsRunningExecutable(const std::filesystem::path& file) {
    const std::filesystem::path self = RunningExecutablePath();
    if (self.empty()) return false;
    std::error_code ec;
    return std::filesystem::equivalent(file, self, ec) && !ec;
}
