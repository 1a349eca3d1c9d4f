#include <system_error>

#include "apply/copy_phase.h"

// Like CopyFileW: the destination is opened and overwritten in place (so a
// running program or, for other users than root, a read-only file refuses),
// and it gets the source's permission bits.
bool CopyFileOverwriting(const std::filesystem::path& source, const std::filesystem::path& destination) {
    std::error_code ec;
    std::filesystem::copy_file(source, destination, std::filesystem::copy_options::overwrite_existing, ec);
    return !ec;
}
