#include "userdata/maps_package.h"

#include <algorithm>
#include <system_error>

#include "base/file_system.h"
#include "base/log.h"
#include "base/text.h"
#include "net/download.h"
#include "net/update_server.h"
#include "rules/working_names.h"
#include "zip/zip_extract.h"

std::filesystem::path MapsPackageFile(const std::filesystem::path& dataDir) { return dataDir / "__maps.zip"; }

bool DownloadMapsPackage(const std::filesystem::path& dataDir, const PackageCheck& check) {
    std::error_code ignored;
    MakeDirectories(dataDir, ignored);
    const auto package = MapsPackageFile(dataDir);
    LogLine(L"Downloading maps.zip to: " + PathToWide(package));
    if (DownloadPackage(MapsPackageUrls(), package, check)) return true;
    // A failed maps refresh is not repeated at the next start, so nothing is
    // kept for it in the player's data directory.
    DiscardPartialDownload(package);
    LogLine(L"Download maps.zip failed.");
    return false;
}

bool VerifyMapsPackage(const std::filesystem::path& dataDir) {
    const auto package = MapsPackageFile(dataDir);
    std::wstring workingName;  // the first file at the maps stage's own names
    const bool readable = CheckZip(package, [&](const EntryPath& path, std::uint64_t) {
        std::wstring name;
        for (const auto& component : path.components) name += (name.empty() ? L"" : L"\\") + component;
        if (workingName.empty() && MatchesSafelist(name, DataWorkingNames())) workingName = name;
    });
    if (readable && workingName.empty()) return true;
    std::replace(workingName.begin(), workingName.end(), L'\\', L'/');
    LogLine(readable ? L"maps.zip holds the updater's working file " + workingName + L"; maps update skipped."
                     : L"maps.zip is damaged; the data directory is left as it is.");
    RemoveQuietly(package);
    return false;
}

bool ExtractMapsPackage(const std::filesystem::path& dataDir) {
    const auto package = MapsPackageFile(dataDir);
    LogLine(L"Extracting maps.zip into: " + PathToWide(dataDir));
    const bool extracted = ExtractZip(package, dataDir);
    RemoveQuietly(package);
    return extracted;
}
