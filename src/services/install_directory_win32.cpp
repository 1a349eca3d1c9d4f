#include <windows.h>

#include <string>

#include "services/install_directory.h"

std::filesystem::path GetInstallDirectory() {
    // The buffer grows until the whole path fits, so long install paths work.
    std::wstring buffer(MAX_PATH, L'\0');
    while (true) {
        DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return {};
        if (length < buffer.size()) {
            buffer.resize(length);
            break;
        }
        if (buffer.size() >= 32768) return {};
        buffer.resize(buffer.size() * 2);
    }
    std::size_t cut = buffer.find_last_of(L"\\/");
    if (cut == std::wstring::npos) return {};
    std::size_t end = buffer.find_last_not_of(L"\\/", cut);
    return std::filesystem::path(buffer.substr(0, end == std::wstring::npos ? cut + 1 : end + 1));
}
