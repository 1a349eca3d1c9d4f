#include "zip/zip_output.h"

#include <system_error>

#include "base/file_attributes.h"
#include "base/file_system.h"
#include "base/text.h"

namespace fs = std::filesystem;

namespace {

bool EnsureDirectoryLevel(const fs::path& level) {
    std::error_code ec;
    auto status = EntryStatus(level, ec);
    if (fs::is_symlink(status)) return false;
    if (fs::is_directory(status)) return true;
    if (fs::exists(status)) return false;
    MakeDirectory(level, ec);
    return fs::is_directory(EntryStatus(level, ec));
}

}  // namespace

bool MakeEntryDirectory(
    const fs::path& destination, const std::vector<std::wstring>& components, std::size_t count, fs::path& directory) {
    directory = destination;
    for (std::size_t i = 0; i < count; ++i) {
        directory /= WideToPath(components[i]);
        if (!EnsureDirectoryLevel(directory)) return false;
    }
    return true;
}

bool PrepareFileTarget(const fs::path& file) {
    std::error_code ec;
    auto status = EntryStatus(file, ec);
    if (fs::is_symlink(status)) return RemoveEntry(file, ec);
    if (fs::is_regular_file(status)) MakeWritable(file);
    return true;
}
