#include "services/download.h"

#include <system_error>

#include "services/atomic_file.h"
#include "services/download_transfer.h"

namespace {

// The body is collected beside the destination, in the same directory, so that
// the final move is a rename on the same volume.
std::filesystem::path PartialFileFor(const std::filesystem::path& destination) {
    std::filesystem::path partial = destination;
    partial += ".part";
    return partial;
}

void RemoveQuietly(const std::filesystem::path& file) {
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
}

}  // namespace

bool DownloadFile(const std::wstring& url, const std::filesystem::path& destination) {
    const std::filesystem::path partial = PartialFileFor(destination);
    if (TransferToFile(url, partial) && ReplaceFileWith(partial, destination)) return true;
    RemoveQuietly(partial);
    return false;
}
