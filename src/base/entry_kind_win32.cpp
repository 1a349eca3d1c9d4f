#include <windows.h>

#include "base/entry_kind.h"
#include "base/long_path.h"
#include "base/owned_handle_win32.h"

// Opened for its attributes only, the reparse point itself: a placeholder's
// content is not downloaded for this.
std::uint32_t ReparseTagOf(const std::filesystem::path& path) {
    OwnedHandle entry(CreateFileW(LongPath(path).c_str(), FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FILE_ATTRIBUTE_TAG_INFO information{};
    if (!entry || !GetFileInformationByHandleEx(entry.Get(), FileAttributeTagInfo, &information, sizeof information))
        return kUnknownReparseTag;
    return information.ReparseTag;
}
