#include "worker/maps_pending.h"
#include "base/file_system.h"
#include "base/long_path.h"

#include <fstream>
#include <system_error>

namespace {

std::filesystem::path MarkerFile(const std::filesystem::path& installDir) { return installDir / "__maps_pending"; }

}  // namespace

void MarkMapsRefreshPending(const std::filesystem::path& installDir) {
    std::ofstream marker(LongPath(MarkerFile(installDir)), std::ios::binary | std::ios::trunc);
}

bool IsMapsRefreshPending(const std::filesystem::path& installDir) {
    std::error_code ec;
    return std::filesystem::is_regular_file(TargetStatus(MarkerFile(installDir), ec));
}

void ClearMapsRefreshPending(const std::filesystem::path& installDir) { RemoveQuietly(MarkerFile(installDir)); }
