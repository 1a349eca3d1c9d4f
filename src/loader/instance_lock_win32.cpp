#include <windows.h>

#include <cstdint>
#include <string>

#include "base/long_path.h"
#include "base/owned_handle_win32.h"
#include "loader/instance_lock.h"
#include "loader/loader_window_win32.h"

namespace {

// The directory as the file system resolves it (short names, subst drives and
// links all give one spelling), upper-cased as the file system compares names.
// The path as given when the directory cannot be opened.
std::wstring FoldedDirectory(const std::filesystem::path& directory) {
    std::wstring path = directory.native();
    OwnedHandle handle(
        CreateFileW(LongPath(directory).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (handle) {
        std::wstring resolved(32768, L'\0');
        DWORD length = GetFinalPathNameByHandleW(
            handle.Get(), resolved.data(), static_cast<DWORD>(resolved.size()), FILE_NAME_NORMALIZED);
        if (length > 0 && length < resolved.size()) path.assign(resolved.data(), length);
    }
    if (path.empty()) return path;
    const int size = static_cast<int>(path.size());
    std::wstring folded(path.size(), L'\0');
    if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, path.c_str(), size, folded.data(), size, nullptr, nullptr,
            0) != size)
        return path;
    return folded;
}

// Object names stop at MAX_PATH characters and take no backslash after the
// namespace, so the name carries a 64-bit FNV-1a hash of the folded path.
std::wstring MutexName(const std::filesystem::path& installDir) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (wchar_t c : FoldedDirectory(installDir)) {
        hash ^= static_cast<std::uint16_t>(c);
        hash *= 0x100000001b3ULL;
    }
    wchar_t hex[17];
    swprintf(hex, 17, L"%016llx", static_cast<unsigned long long>(hash));
    return std::wstring(L"Global\\TELV-Updater-") + hex;
}

struct WindowSearch {
    std::wstring directory;
    HWND found = nullptr;
};

std::wstring ProcessDirectory(DWORD processId) {
    OwnedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) return {};
    std::wstring image(32768, L'\0');
    DWORD length = static_cast<DWORD>(image.size());
    if (!QueryFullProcessImageNameW(process.Get(), 0, image.data(), &length)) return {};
    image.resize(length);
    return FoldedDirectory(std::filesystem::path(image).parent_path());
}

// A progress window of another process started from the same directory.
BOOL CALLBACK MatchUpdaterWindow(HWND window, LPARAM searchAddress) {
    auto& search = *reinterpret_cast<WindowSearch*>(searchAddress);
    wchar_t className[64] = {};
    if (GetClassNameW(window, className, 64) == 0 || std::wstring_view(className) != kLoaderClassName) return TRUE;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId == GetCurrentProcessId() || ProcessDirectory(processId) != search.directory) return TRUE;
    search.found = window;
    return FALSE;
}

}  // namespace

// The mutex handle stays open for the life of the process. A holder that was
// killed leaves the mutex abandoned, which counts as taken.
InstanceLock TakeInstanceLock(const std::filesystem::path& installDir) {
    OwnedHandle mutex(CreateMutexW(nullptr, FALSE, MutexName(installDir).c_str()));
    // Denied: the mutex exists, made by another user's updater.
    if (!mutex) return GetLastError() == ERROR_ACCESS_DENIED ? InstanceLock::HeldElsewhere : InstanceLock::Unavailable;
    DWORD wait = WaitForSingleObject(mutex.Get(), 0);
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
        mutex.Release();  // held for the life of the process
        return InstanceLock::Taken;
    }
    return wait == WAIT_TIMEOUT ? InstanceLock::HeldElsewhere : InstanceLock::Unavailable;
}

// Only calls that never wait for the other process: its window may be busy.
void ShowRunningUpdater(const std::filesystem::path& installDir) {
    WindowSearch search{FoldedDirectory(installDir)};
    EnumWindows(MatchUpdaterWindow, reinterpret_cast<LPARAM>(&search));
    if (search.found == nullptr) return;
    if (IsIconic(search.found)) ShowWindowAsync(search.found, SW_RESTORE);
    SetForegroundWindow(search.found);
}
