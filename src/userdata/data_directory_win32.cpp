#include <windows.h>
#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

#include "userdata/data_directory.h"

namespace {

std::wstring KnownDocumentsFolder() {
    PWSTR folder = nullptr;
    HRESULT result = SHGetKnownFolderPath(FOLDERID_Documents, 0, nullptr, &folder);
    std::wstring text = SUCCEEDED(result) && folder != nullptr ? std::wstring(folder) : std::wstring();
    CoTaskMemFree(folder);  // freed on failure too; a null pointer is allowed
    return text;
}

std::wstring PersonalFolder() {
    wchar_t buffer[MAX_PATH] = {};
    HRESULT result = SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, buffer);
    return SUCCEEDED(result) ? std::wstring(buffer) : std::wstring();
}

}  // namespace

std::filesystem::path FindDocumentsFolder() {
    std::wstring folder = KnownDocumentsFolder();
    if (folder.empty()) folder = PersonalFolder();
    return std::filesystem::path(folder);
}
