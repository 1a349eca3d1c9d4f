#include <system_error>

#include "base/install_directory.h"

std::filesystem::path RunningExecutablePath() {
    std::error_code ec;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : self;
}
