#include <windows.h>

#include "base/file_identity.h"
#include "base/long_path.h"
#include "base/owned_handle_win32.h"

namespace {

std::uint64_t Join(DWORD high, DWORD low) { return (static_cast<std::uint64_t>(high) << 32) | low; }

}  // namespace

// ChangeTime comes only from FileBasicInfo; the volume and the file index only
// from the older call. The file is opened for its metadata alone, beside any
// other program's handle, and a reparse point is opened itself.
bool ReadFileIdentity(const std::filesystem::path& file, FileIdentity& identity) {
    OwnedHandle handle(CreateFileW(LongPath(file).c_str(), FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FILE_BASIC_INFO basic{};
    BY_HANDLE_FILE_INFORMATION info{};
    if (!handle || !GetFileInformationByHandleEx(handle.Get(), FileBasicInfo, &basic, sizeof basic) ||
        !GetFileInformationByHandle(handle.Get(), &info))
        return false;
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) return false;
    identity = {Join(info.nFileSizeHigh, info.nFileSizeLow), basic.LastWriteTime.QuadPart, basic.ChangeTime.QuadPart,
        info.dwVolumeSerialNumber, Join(info.nFileIndexHigh, info.nFileIndexLow)};
    return true;
}
