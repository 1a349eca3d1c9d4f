#include <windows.h>

#include "services/zip_output.h"

void MakeWritable(const std::filesystem::path& file) {
    constexpr DWORD kBlocking = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    DWORD attributes = GetFileAttributesW(file.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & kBlocking)) return;
    DWORD kept = attributes & ~kBlocking;
    SetFileAttributesW(file.c_str(), kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL);
}

// Windows files have no executable bit.
void ApplyUnixMode(const std::filesystem::path&, std::uint32_t) {}
