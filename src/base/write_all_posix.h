#pragma once
// Writing to a POSIX file descriptor.
#include <string_view>

// Writes every byte, going on after short writes and interrupted calls (EINTR);
// false on the first real failure (a full disk, a closed pipe).
bool WriteAll(int fd, std::string_view bytes);
