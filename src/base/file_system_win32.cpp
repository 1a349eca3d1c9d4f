#include <windows.h>

#include "base/entry_kind.h"
#include "base/file_system.h"
#include "base/long_path.h"
#include "base/owned_handle_win32.h"

namespace fs = std::filesystem;

namespace {

std::error_code LastError() { return {static_cast<int>(GetLastError()), std::system_category()}; }

bool IsNotFound(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
           error == ERROR_INVALID_DRIVE || error == ERROR_BAD_NETPATH || error == ERROR_BAD_NET_NAME;
}

fs::file_type TypeOf(EntryKind kind) {
    if (kind == EntryKind::Link) return fs::file_type::symlink;
    return kind == EntryKind::Directory ? fs::file_type::directory : fs::file_type::regular;
}

// The status for a failed call: not found, or not known.
fs::file_status Failed(std::error_code& ec) {
    const DWORD error = GetLastError();
    ec = {static_cast<int>(error), std::system_category()};
    return fs::file_status(IsNotFound(error) ? fs::file_type::not_found : fs::file_type::none);
}

bool ReadAttributes(const fs::path& path, WIN32_FILE_ATTRIBUTE_DATA& data) {
    return GetFileAttributesExW(LongPath(path).c_str(), GetFileExInfoStandard, &data) != 0;
}

// Opened for nothing but its metadata, whatever else holds it; a link is
// followed, and a directory opens too.
OwnedHandle OpenForMetadata(const fs::path& path) {
    return OwnedHandle(CreateFileW(LongPath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

}  // namespace

fs::file_status EntryStatus(const fs::path& path, std::error_code& ec) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!ReadAttributes(path, data)) return Failed(ec);
    ec.clear();
    return fs::file_status(TypeOf(KindAt(path, data.dwFileAttributes)));
}

fs::file_status TargetStatus(const fs::path& path, std::error_code& ec) {
    const fs::file_status entry = EntryStatus(path, ec);
    if (!fs::is_symlink(entry)) return entry;
    OwnedHandle target = OpenForMetadata(path);
    BY_HANDLE_FILE_INFORMATION information;
    if (!target || !GetFileInformationByHandle(target.Get(), &information)) return Failed(ec);
    return fs::file_status(TypeOf(KindOfEntry(information.dwFileAttributes & ~FILE_ATTRIBUTE_REPARSE_POINT, 0)));
}

std::uint64_t FileSize(const fs::path& file, std::error_code& ec) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!ReadAttributes(file, data)) {
        ec = LastError();
        return static_cast<std::uint64_t>(-1);
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        ec = std::make_error_code(std::errc::is_a_directory);
        return static_cast<std::uint64_t>(-1);
    }
    ec.clear();
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void ResizeFile(const fs::path& file, std::uint64_t size, std::error_code& ec) {
    OwnedHandle handle(CreateFileW(LongPath(file).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    const bool resized =
        handle && SetFilePointerEx(handle.Get(), end, nullptr, FILE_BEGIN) && SetEndOfFile(handle.Get());
    ec = resized ? std::error_code() : LastError();
}

// A directory link or junction goes with RemoveDirectoryW, which never enters it.
bool RemoveEntry(const fs::path& path, std::error_code& ec) {
    const std::wstring name = LongPath(path).native();
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const fs::file_status status = Failed(ec);
        if (status.type() == fs::file_type::not_found) ec.clear();
        return false;
    }
    const bool removed =
        (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(name.c_str()) != 0 : DeleteFileW(name.c_str()) != 0;
    ec = removed ? std::error_code() : LastError();
    return removed;
}

bool MakeDirectory(const fs::path& directory, std::error_code& ec) {
    if (CreateDirectoryW(LongPath(directory).c_str(), nullptr)) {
        ec.clear();
        return true;
    }
    ec = LastError();
    // Standing there already is no error, as long as it is a directory.
    std::error_code ignored;
    if (ec.value() == ERROR_ALREADY_EXISTS && fs::is_directory(TargetStatus(directory, ignored))) ec.clear();
    return false;
}

bool IsEmptyDirectory(const fs::path& directory, std::error_code& ec) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(
        (LongPath(directory) / L"*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) {
        ec = LastError();
        return false;
    }
    bool empty = true;
    do {
        const std::wstring_view name = found.cFileName;
        empty = name == L"." || name == L"..";
    } while (empty && FindNextFileW(search, &found));
    FindClose(search);
    ec.clear();
    return empty;
}

bool AreOneFile(const fs::path& a, const fs::path& b) {
    OwnedHandle first = OpenForMetadata(a), second = OpenForMetadata(b);
    BY_HANDLE_FILE_INFORMATION one, other;
    return first && second && GetFileInformationByHandle(first.Get(), &one) &&
           GetFileInformationByHandle(second.Get(), &other) && one.dwVolumeSerialNumber == other.dwVolumeSerialNumber &&
           one.nFileIndexHigh == other.nFileIndexHigh && one.nFileIndexLow == other.nFileIndexLow;
}
