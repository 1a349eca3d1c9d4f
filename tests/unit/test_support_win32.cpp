#include <windows.h>

#include <algorithm>
#include <cstdlib>

#include "base/install_directory.h"
#include "base/text.h"
#include "test_support.h"

void SetEnvironment(const char* name, const std::optional<std::string>& value) {
    _putenv_s(name, value.value_or("").c_str());
}

void InstallGameStub(const fs::path& dir) {
    fs::copy_file(GetInstallDirectory() / "torvane_stub.exe", dir / "torvane.exe");
}

std::string ExpectedLaunchRecord(const fs::path& installDir) {
    const std::string game = WideToUtf8((installDir / "torvane.exe").native());
    return "cmdline=\"" + game + "\" --skip-updater\ncwd=" + WideToUtf8(installDir.native()) + "\n";
}

bool RunWhileHeld(const fs::path&, const fs::path& held, const std::function<void()>& body) {
    std::vector<HANDLE> handles;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(held))
        if (!entry.is_directory())
            handles.push_back(
                CreateFileW(entry.path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    const bool allHeld = std::ranges::find(handles, INVALID_HANDLE_VALUE) == handles.end();
    if (allHeld) body();
    for (HANDLE handle : handles) CloseHandle(handle);
    return allHeld;
}
