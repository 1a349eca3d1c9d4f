#include <system_error>

#include "base/file_attributes.h"

namespace fs = std::filesystem;

// On POSIX a file's own permission bits do not stop its deletion (the
// directory's do), so there is nothing to clear.
void ClearReadOnly(const fs::path&) {}

bool MakeWritable(const fs::path& file) {
    std::error_code ec;
    const fs::perms perms = fs::status(file, ec).permissions();
    if (ec || (perms & fs::perms::owner_write) != fs::perms::none) return false;
    fs::permissions(file, fs::perms::owner_write, fs::perm_options::add, ec);
    return !ec;
}
