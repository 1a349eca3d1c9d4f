#include "apply/own_executable.h"

#include <system_error>

std::wstring OwnExecutableName() { return L"Updater"; }
std::wstring SetAsideUpdaterName() { return L"Updater.old"; }

std::filesystem::path RunningExecutablePath() {
    std::error_code ec;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : self;
}
