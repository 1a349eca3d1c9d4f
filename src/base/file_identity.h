#pragma once
// One state of a file, known without reading it: its size, both of its times
// and where it lies on the disk. Writing the file, renaming it, replacing it,
// or setting its modification time back all change its change time (POSIX
// ctime, Windows ChangeTime), which no program can set; so two equal
// identities of one path mean the same bytes.

#include <cstdint>
#include <filesystem>

struct FileIdentity {
    std::uint64_t size = 0;
    std::int64_t modified = 0;  // last write: POSIX ns since 1970, Windows 100 ns since 1601
    std::int64_t changed = 0;   // last change of bytes or metadata, in the same unit
    std::uint64_t volume = 0;   // POSIX st_dev, Windows the volume serial number
    std::uint64_t id = 0;       // POSIX the inode, Windows the file index
    bool operator==(const FileIdentity&) const = default;
};

// The identity of the regular file at the path (a link is not followed);
// false for anything else or when the system cannot tell.
bool ReadFileIdentity(const std::filesystem::path& file, FileIdentity& identity);
