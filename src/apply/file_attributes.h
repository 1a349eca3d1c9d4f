#pragma once
// The read-only bit of an installed file, which a deletion must clear first on Windows.

#include <filesystem>

// Clears the read-only attribute if it is set; failures are ignored (the
// deletion is still tried).
void ClearReadOnly(const std::filesystem::path& file);
