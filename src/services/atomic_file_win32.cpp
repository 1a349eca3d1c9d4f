#include <windows.h>

#include "services/atomic_file.h"

bool WriteAndFlush(const std::filesystem::path& file, const std::string& bytes) {
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size() && FlushFileBuffers(handle);
    return CloseHandle(handle) && ok;
}

bool ReplaceFileWith(const std::filesystem::path& finished, const std::filesystem::path& destination) {
    return MoveFileExW(finished.c_str(), destination.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}
