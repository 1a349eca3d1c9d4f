#include "delta/installed_files.h"

#include <libdeflate.h>

#include <algorithm>
#include <fstream>
#include <vector>

#include "base/file_system.h"
#include "base/long_path.h"
#include "base/tree_walk.h"

namespace fs = std::filesystem;

namespace {

using PathView = std::basic_string_view<fs::path::value_type>;

PathView PathOf(const InstalledSizes& installed, const InstalledFile& file) {
    return PathView(installed.paths).substr(static_cast<std::size_t>(file.pathAt), file.pathSize);
}

}  // namespace

InstalledSizes ListInstalledFiles(const fs::path& installDir, const fs::path& extractDir) {
    InstalledSizes installed;
    WalkTree(installDir, [&](const fs::directory_entry& entry) {
        if (IsLinkEntry(entry)) return WalkStep::Continue;
        if (IsRealDirectory(entry)) return entry.path() == extractDir ? WalkStep::SkipChildren : WalkStep::Continue;
        if (!IsRegularFile(entry)) return WalkStep::Continue;
        std::error_code ec;
        const std::uint64_t size = FileSize(entry.path(), ec);
        if (ec) return WalkStep::Continue;
        const fs::path::string_type relative = RelativeNativePath(entry.path(), installDir);
        installed.files.push_back({size, installed.paths.size(), static_cast<std::uint32_t>(relative.size())});
        installed.paths += relative;
        return WalkStep::Continue;
    });
    std::sort(installed.files.begin(), installed.files.end(),
        [&](const InstalledFile& a, const InstalledFile& b) { return PathOf(installed, a) < PathOf(installed, b); });
    return installed;
}

std::optional<std::uint64_t> InstalledSize(const InstalledSizes& installed, PathView relative) {
    const auto found = std::lower_bound(installed.files.begin(), installed.files.end(), relative,
        [&](const InstalledFile& file, PathView path) { return PathOf(installed, file) < path; });
    if (found == installed.files.end() || PathOf(installed, *found) != relative) return std::nullopt;
    return found->size;
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
