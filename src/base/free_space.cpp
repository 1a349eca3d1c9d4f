#include "base/free_space.h"

#include <system_error>

std::optional<std::uint64_t> FreeBytesOn(const std::filesystem::path& path) {
    std::filesystem::path existing = path;
    std::error_code ec;
    while (!std::filesystem::exists(existing, ec) && existing.has_relative_path()) existing = existing.parent_path();
    const std::filesystem::space_info space = std::filesystem::space(existing, ec);
    if (ec || space.available == static_cast<std::uintmax_t>(-1)) return std::nullopt;
    return space.available;
}
