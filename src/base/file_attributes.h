#pragma once
// The attributes of an existing file that stand in the way of deleting,
// rewriting or replacing it.

#include <filesystem>

// Clears the read-only attribute if it is set, as a deletion needs on Windows;
// failures are ignored (the deletion is still tried).
void ClearReadOnly(const std::filesystem::path& file);

// Clears what keeps an existing file from being rewritten or replaced: the
// read-only bit, and on Windows the hidden and system attributes (which make
// CREATE_ALWAYS and a replacing move fail). True when something was cleared.
bool MakeWritable(const std::filesystem::path& file);
