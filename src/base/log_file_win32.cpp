#include <windows.h>

#include "base/log_file.h"
#include "base/long_path.h"
#include "base/owned_handle_win32.h"

LogFileHandle OpenLogFileForAppend(const std::filesystem::path& path) {
    // Deny-none sharing: other programs may read and write the log meanwhile.
    HANDLE file = CreateFileW(LongPath(path).c_str(), FILE_APPEND_DATA,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return file == INVALID_HANDLE_VALUE ? kNoLogFile : reinterpret_cast<LogFileHandle>(file);
}

void CloseLogFile(LogFileHandle file) {
    if (file != kNoLogFile) CloseHandle(reinterpret_cast<HANDLE>(file));
}

bool WriteLogBytes(LogFileHandle file, const std::string& bytes) {
    DWORD written = 0;
    return WriteFile(
               reinterpret_cast<HANDLE>(file), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

bool TruncateFileToEmpty(const std::filesystem::path& path) {
    return static_cast<bool>(OwnedHandle(CreateFileW(LongPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)));
}

std::int64_t CurrentUnixSeconds() { return static_cast<std::int64_t>(_time64(nullptr)); }

std::tm ToLocalTime(std::int64_t seconds) {
    std::tm out{};
    __time64_t t = seconds;
    _localtime64_s(&out, &t);
    return out;
}
