#include <windows.h>

#include "apply/copy_phase.h"

// The standard library's copy_file with overwrite fails on any existing
// destination in this toolchain, so the platform call is used.
bool CopyFileOverwriting(const std::filesystem::path& source, const std::filesystem::path& destination) {
    return CopyFileW(source.c_str(), destination.c_str(), FALSE) != FALSE;
}
