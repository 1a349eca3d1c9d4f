#include "apply/file_attributes.h"

// On POSIX a file's own permission bits do not stop its deletion (the
// directory's do), so there is nothing to clear.
void ClearReadOnly(const std::filesystem::path&) {}
