#include <windows.h>

#include <string>

#include "base/install_directory.h"

std::filesystem::path RunningExecutablePath() {
    // 32767 characters is the longest path Windows knows, so one call suffices.
    std::wstring buffer(32768, L'\0');
    DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 || length >= buffer.size()) return {};
    buffer.resize(length);
    return std::filesystem::path(buffer);
}
