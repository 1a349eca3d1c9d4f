#include "delta/installed_files.h"

#include <libdeflate.h>

#include <fstream>
#include <vector>

#include "base/file_system.h"
#include "base/long_path.h"
#include "base/tree_walk.h"

namespace fs = std::filesystem;

InstalledSizes ListInstalledFiles(const fs::path& installDir, const fs::path& extractDir) {
    InstalledSizes sizes;
    WalkTree(installDir, [&](const fs::directory_entry& entry) {
        if (IsLinkEntry(entry)) return WalkStep::Continue;
        if (IsRealDirectory(entry)) return entry.path() == extractDir ? WalkStep::SkipChildren : WalkStep::Continue;
        if (!IsRegularFile(entry)) return WalkStep::Continue;
        std::error_code ec;
        const std::uint64_t size = FileSize(entry.path(), ec);
        if (!ec) sizes.emplace(RelativeNativePath(entry.path(), installDir), size);
        return WalkStep::Continue;
    });
    return sizes;
}

bool FileCrc32(const fs::path& file, std::uint32_t& crc, const std::function<void(std::uint64_t)>& progress) {
    std::ifstream in(LongPath(file), std::ios::binary);
    std::vector<char> buffer(256 * 1024);
    std::uint32_t running = 0;
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
        const auto got = static_cast<std::size_t>(in.gcount());
        running = libdeflate_crc32(running, buffer.data(), got);
        progress(got);
    }
    crc = running;
    return in.eof() && !in.bad();
}
