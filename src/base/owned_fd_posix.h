#pragma once
// A POSIX file descriptor that closes itself (see owned.h).

#include <unistd.h>

#include "base/owned.h"

struct FdTraits {
    using Handle = int;
    static int None() { return -1; }
    static bool IsNone(int fd) { return fd < 0; }
    static void Close(int fd) { ::close(fd); }
};
using OwnedFd = Owned<FdTraits>;

// Closes the descriptor now; false when close reports an error (for files
// whose written bytes must be known to be stored).
inline bool CloseChecked(OwnedFd& fd) { return ::close(fd.Release()) == 0; }
