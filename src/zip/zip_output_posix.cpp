#include <system_error>

#include "zip/zip_output.h"

namespace fs = std::filesystem;

// Only the executable bits are taken; the rest follows the umask as for any
// file the updater writes.
void ApplyUnixMode(const fs::path& file, std::uint32_t mode) {
    auto executable =
        static_cast<fs::perms>(mode) & (fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec);
    if (executable == fs::perms::none) return;
    std::error_code ec;
    fs::permissions(file, executable, fs::perm_options::add, ec);
}
