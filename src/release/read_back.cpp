#include "release/read_back.h"

#include <map>

#include "base/text.h"
#include "zip/zip_extract.h"

namespace {

std::string JoinedName(const EntryPath& path) {
    std::wstring name;
    for (const auto& component : path.components) name += (name.empty() ? L"" : L"/") + component;
    return WideToUtf8(name);
}

bool Compare(
    const std::map<std::string, std::uint64_t>& found, const std::vector<PackageFile>& files, std::string& error) {
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
        error = "it holds entries the directory does not";
        return false;
    }
    return true;
}

}  // namespace

bool ReadBackPackage(const std::filesystem::path& package, const std::vector<PackageFile>& files, std::string& error) {
    std::map<std::string, std::uint64_t> found;
    bool ok = CheckZip(package, [&](const EntryPath& path, std::uint64_t size) { found[JoinedName(path)] = size; });
    if (!ok) error = "the updater's reader refuses it";
    ok = ok && Compare(found, files, error);
    if (!ok) error = package.filename().string() + " read back wrong: " + error;
    return ok;
}
