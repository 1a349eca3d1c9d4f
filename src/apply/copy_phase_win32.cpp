#include <windows.h>

#include "apply/copy_phase.h"

// The standard library's copy_file with overwrite fails on any existing
// destination in this toolchain, so the platform call is used. Windows refuses
// to overwrite a read-only or hidden file; an installed game file with either
// bit would then block every update for ever, so those bits are cleared and
// the copy tried once more. A file in use still fails.
bool CopyFileOverwriting(const std::filesystem::path& source, const std::filesystem::path& destination) {
    if (CopyFileW(source.c_str(), destination.c_str(), FALSE)) return true;
    if (GetLastError() != ERROR_ACCESS_DENIED) return false;
    const DWORD attributes = GetFileAttributesW(destination.c_str());
    constexpr DWORD kBlocking = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & kBlocking) == 0) return false;
    SetFileAttributesW(destination.c_str(), attributes & ~kBlocking);
    return CopyFileW(source.c_str(), destination.c_str(), FALSE) != FALSE;
}
