#include "services/download.h"

#include <system_error>

#include "services/atomic_file.h"
#include "services/download_transfer.h"
#include "services/log.h"

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

// A body that arrived whole but is not what `check` asks for is dropped like a
// cut one; `mismatch` then says how it differs.
bool Download(const std::wstring& url, const std::filesystem::path& destination, const PackageCheck& check,
              std::wstring& mismatch) {
    const std::filesystem::path partial = PartialFileFor(destination);
    BodyTally tally = StartTally(check);
    if (TransferToFile(url, partial, tally)) {
        mismatch = DescribeMismatch(check, tally);
        if (mismatch.empty() && ReplaceFileWith(partial, destination)) return true;
    }
    RemoveQuietly(partial);
    return false;
}

}  // namespace

bool DownloadFile(const std::wstring& url, const std::filesystem::path& destination) {
    std::wstring ignored;
    return Download(url, destination, PackageCheck{}, ignored);
}

bool DownloadPackage(const std::wstring& url, const std::filesystem::path& destination, const PackageCheck& check) {
    std::wstring mismatch;
    if (Download(url, destination, check, mismatch)) return true;
    if (!mismatch.empty()) LogLine(url.substr(url.rfind(L'/') + 1) + L" does not match version.txt: " + mismatch);
    return false;
}
