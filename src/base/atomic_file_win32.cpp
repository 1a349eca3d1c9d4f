#include <windows.h>

#include "base/atomic_file.h"
#include "base/file_attributes.h"
#include "base/owned_handle_win32.h"

namespace {

// What makes Windows refuse to replace a file: the read-only, hidden or system
// attribute, or a link or junction standing there (a file cannot replace a
// directory link). The attributes are cleared, a link is removed (never its
// target); false when there was nothing to clear.
bool ClearReplacementObstacle(const std::filesystem::path& file) {
    const DWORD attributes = GetFileAttributesW(file.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(file.c_str()) != 0
                                                       : DeleteFileW(file.c_str()) != 0;
    return MakeWritable(file);
}

bool Move(const std::filesystem::path& from, const std::filesystem::path& to) {
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace

bool WriteAndFlush(const std::filesystem::path& file, const std::string& bytes) {
    OwnedHandle handle(
        CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) return false;
    DWORD written = 0;
    bool ok = WriteFile(handle.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size() && FlushFileBuffers(handle.Get());
    return CloseChecked(handle) && ok;
}

bool CopyAndFlush(const std::filesystem::path& source, const std::filesystem::path& copy) {
    if (!CopyFileW(source.c_str(), copy.c_str(), FALSE)) return false;
    OwnedHandle handle(CreateFileW(copy.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!handle) return false;
    const bool flushed = FlushFileBuffers(handle.Get()) != 0;
    return CloseChecked(handle) && flushed;
}

// Without MOVEFILE_COPY_ALLOWED a move to another volume is refused with
// ERROR_NOT_SAME_DEVICE; the caller then copies.
MoveOutcome MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (Move(from, to)) return MoveOutcome::Moved;
    const DWORD error = GetLastError();
    if (error == ERROR_NOT_SAME_DEVICE) return MoveOutcome::OtherVolume;
    if (error == ERROR_ACCESS_DENIED && ClearReplacementObstacle(to) && Move(from, to)) return MoveOutcome::Moved;
    return MoveOutcome::Refused;
}
