#include "release/read_back.h"

#include <map>
#include <system_error>

#include "services/zip_extract.h"

namespace fs = std::filesystem;

namespace {

std::map<std::string, std::uint64_t> FilesBelow(const fs::path& root) {
    std::map<std::string, std::uint64_t> found;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file(ec)) found[it->path().lexically_relative(root).generic_string()] = it->file_size(ec);
    return found;
}

bool Compare(const std::map<std::string, std::uint64_t>& found, const std::vector<PackageFile>& files,
             std::string& error) {
    for (const auto& file : files) {
        auto it = found.find(file.name);
        if (it == found.end()) {
            error = file.name + " is missing";
            return false;
        }
        if (it->second != file.size) {
            error = file.name + " has " + std::to_string(it->second) + " bytes instead of " + std::to_string(file.size);
            return false;
        }
    }
    if (found.size() != files.size()) {
        error = std::to_string(found.size() - files.size()) + " file(s) more than the directory holds";
        return false;
    }
    return true;
}

}  // namespace

bool ReadBackPackage(const fs::path& package, const std::vector<PackageFile>& files, const fs::path& scratch,
                     std::string& error) {
    std::error_code ec;
    fs::remove_all(scratch, ec);
    fs::create_directories(scratch, ec);
    bool ok = ExtractZip(package, scratch);
    if (!ok) error = "the updater's reader refuses it";
    ok = ok && Compare(FilesBelow(scratch), files, error);
    if (!ok) error = package.filename().string() + " read back wrong: " + error;
    fs::remove_all(scratch, ec);
    return ok;
}
