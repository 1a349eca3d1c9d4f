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

bool RemoveLink(const std::filesystem::path& link) {
    const std::wstring name = LongPath(link).native();
    const DWORD attributes = GetFileAttributesW(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           ((attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(name.c_str()) != 0
                                                    : DeleteFileW(name.c_str()) != 0);
}

// A file cannot replace a link to a directory: the link is moved aside (never
// followed), removed once the file is in place, and put back when the move
// fails, so that a refused move leaves the destination as it was.
MoveOutcome MoveOverLink(const std::filesystem::path& from, const std::filesystem::path& to) {
    const std::filesystem::path aside = to.native() + L".link" + kPlacingSuffix;
    if (!MoveFileExW(LongPath(to).c_str(), LongPath(aside).c_str(), 0)) return MoveOutcome::Refused;
    if (Move(from, to)) {
        RemoveLink(aside);
        return MoveOutcome::Moved;
    }
    MoveFileExW(LongPath(aside).c_str(), LongPath(to).c_str(), 0);
    return MoveOutcome::Refused;
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

bool WriteAndFlush(const std::filesystem::path& file, const PieceSource& pieces) {
    OwnedHandle handle(
        CreateFileW(LongPath(file).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) return false;
    bool ok = true;
    for (std::string_view piece; ok && pieces(piece);) {
        DWORD written = 0;
        ok = WriteFile(handle.Get(), piece.data(), static_cast<DWORD>(piece.size()), &written, nullptr) &&
             written == piece.size();
    }
    ok = ok && FlushFileBuffers(handle.Get());
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
// ERROR_NOT_SAME_DEVICE; the caller then copies. Only a regular file loses its
// read-only, hidden or system attribute for the move (a folder keeps what
// desktop.ini needs), and a file held elsewhere is waited for.
MoveOutcome MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (Move(from, to)) return MoveOutcome::Moved;
    DWORD error = GetLastError();
    if (error == ERROR_NOT_SAME_DEVICE) return MoveOutcome::OtherVolume;
    MoveTarget target = TargetOf(to);
    if (error == ERROR_ACCESS_DENIED && target == MoveTarget::Link) return MoveOverLink(from, to);
    if (error == ERROR_ACCESS_DENIED && target == MoveTarget::ReadOnlyFile && MakeWritable(to)) {
        if (Move(from, to)) return MoveOutcome::Moved;
        error = GetLastError();
        target = TargetOf(to);
    }
    for (int waitMs : kRetryWaitsMs) {
        if (!IsWorthRetrying(RefusalOf(error), target)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
        if (Move(from, to)) return MoveOutcome::Moved;
        error = GetLastError();
        target = TargetOf(to);
    }
    return MoveOutcome::Refused;
}
