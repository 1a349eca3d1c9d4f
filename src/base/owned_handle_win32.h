#pragma once
// A Win32 kernel handle (file, process, thread, mutex) that closes itself (see
// owned.h). Both null and INVALID_HANDLE_VALUE mean "no handle": CreateFileW
// returns the one, most other calls the other.

#include <windows.h>

#include "base/owned.h"

struct KernelHandleTraits {
    using Handle = HANDLE;
    static HANDLE None() { return nullptr; }
    static bool IsNone(HANDLE handle) { return handle == nullptr || handle == INVALID_HANDLE_VALUE; }
    static void Close(HANDLE handle) { CloseHandle(handle); }
};
using OwnedHandle = Owned<KernelHandleTraits>;

// Closes the handle now; false when CloseHandle fails.
inline bool CloseChecked(OwnedHandle& handle) { return CloseHandle(handle.Release()) != 0; }
