#include <windows.h>

#include <chrono>
#include <thread>
#include <vector>

#include "base/atomic_file.h"
#include "base/entry_kind.h"
#include "base/file_attributes.h"
#include "base/file_system.h"
#include "base/install_directory.h"
#include "base/long_path.h"
#include "base/move_retry.h"
#include "base/owned_handle_win32.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool Move(const std::filesystem::path& from, const std::filesystem::path& to) {
    return MoveFileExW(
               LongPath(from).c_str(), LongPath(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

MoveRefusal RefusalOf(DWORD error) {
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return MoveRefusal::Sharing;
    return error == ERROR_ACCESS_DENIED ? MoveRefusal::AccessDenied : MoveRefusal::Other;
}

MoveTarget TargetOf(const std::filesystem::path& to) {
    const DWORD attributes = GetFileAttributesW(LongPath(to).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return GetLastError() == ERROR_ACCESS_DENIED ? MoveTarget::DeletePending : MoveTarget::Absent;
    const EntryKind kind = KindAt(to, attributes);
    if (kind != EntryKind::File) return kind == EntryKind::Link ? MoveTarget::Link : MoveTarget::Directory;
    if (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))
        return MoveTarget::ReadOnlyFile;
    return AreOneFile(to, RunningExecutablePath()) ? MoveTarget::RunningProgram : MoveTarget::RegularFile;
}

// What makes Windows refuse to replace a file: the read-only, hidden or system
// attribute, or a link or junction standing there (a file cannot replace a
// directory link). The attributes are cleared, a link is removed (never its
// target); false when there was nothing to clear.
bool ClearReplacementObstacle(const std::filesystem::path& file) {
    const std::wstring name = LongPath(file).native();
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(name.c_str()) != 0
                                                       : DeleteFileW(name.c_str()) != 0;
    return MakeWritable(file);
}

// The waits between attempts: about 1.5 s in all, then the move is refused.
constexpr int kRetryWaitsMs[] = {50, 100, 200, 400, 800};

bool CopyBytes(HANDLE from, HANDLE to) {
    std::vector<char> buffer(1 << 20);
    DWORD read = 0;
    while (ReadFile(from, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
        if (read == 0) return true;
        DWORD written = 0;
        if (!WriteFile(to, buffer.data(), read, &written, nullptr) || written != read) return false;
    }
    return false;
}

}  // namespace

bool WriteAndFlush(const std::filesystem::path& file, const std::string& bytes) {
    OwnedHandle handle(
        CreateFileW(LongPath(file).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) return false;
    DWORD written = 0;
    bool ok = WriteFile(handle.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size() && FlushFileBuffers(handle.Get());
    return CloseChecked(handle) && ok;
}

// Both files are opened with full sharing, so a scanner that looks at either
// meanwhile neither fails the copy nor is refused.
bool CopyAndFlush(const std::filesystem::path& source, const std::filesystem::path& copy) {
    OwnedHandle from(CreateFileW(
        LongPath(source).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!from) return false;
    OwnedHandle to(CreateFileW(
        LongPath(copy).c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!to) return false;
    const bool copied = CopyBytes(from.Get(), to.Get()) && FlushFileBuffers(to.Get());
    return CloseChecked(to) && copied;
}

// Without MOVEFILE_COPY_ALLOWED a move to another volume is refused with
// ERROR_NOT_SAME_DEVICE; the caller then copies. A file held elsewhere, at
// either end, is waited for.
MoveOutcome MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (Move(from, to)) return MoveOutcome::Moved;
    DWORD error = GetLastError();
    if (error == ERROR_NOT_SAME_DEVICE) return MoveOutcome::OtherVolume;
    if (error == ERROR_ACCESS_DENIED && ClearReplacementObstacle(to)) {
        if (Move(from, to)) return MoveOutcome::Moved;
        error = GetLastError();
    }
    for (int waitMs : kRetryWaitsMs) {
        if (!IsWorthRetrying(RefusalOf(error), TargetOf(to))) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
        if (Move(from, to)) return MoveOutcome::Moved;
        error = GetLastError();
    }
    return MoveOutcome::Refused;
}
