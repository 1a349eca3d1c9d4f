#include "base/text.h"

#include <windows.h>

std::wstring Utf8ToWide(const std::string& bytes) {
    if (bytes.empty()) return {};
    int size = static_cast<int>(bytes.size());
    int length = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, nullptr, 0);
    if (length <= 0) return {};
    std::wstring out(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, out.data(), length);
    return out;
}

std::wstring PathToWide(const std::filesystem::path& path) { return path.native(); }

std::filesystem::path WideToPath(const std::wstring& text) { return std::filesystem::path(text); }
