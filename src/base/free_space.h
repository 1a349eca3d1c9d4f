#pragma once
// The free space of a volume, on its own so that the stage tests can put a
// figure of their own in its place.

#include <cstdint>
#include <filesystem>
#include <optional>

// Bytes this user may still write on the volume that holds `path`, or its
// nearest existing parent folder; none when the system cannot tell.
std::optional<std::uint64_t> FreeBytesOn(const std::filesystem::path& path);
