#include <windows.h>

#include "base/file_attributes.h"
#include "base/long_path.h"

namespace {

// False when none of the bits was set or the attributes could not be changed.
bool ClearAttributes(const std::filesystem::path& file, DWORD bits) {
    const std::wstring name = LongPath(file).native();
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & bits) == 0) return false;
    const DWORD kept = attributes & ~bits;
    return SetFileAttributesW(name.c_str(), kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL) != 0;
}

}  // namespace

void ClearReadOnly(const std::filesystem::path& file) { ClearAttributes(file, FILE_ATTRIBUTE_READONLY); }

bool MakeWritable(const std::filesystem::path& file) {
    return ClearAttributes(file, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
}
