#include "base/entry_kind.h"

// POSIX file systems have no reparse points.
std::uint32_t ReparseTagOf(const std::filesystem::path&) { return kUnknownReparseTag; }
