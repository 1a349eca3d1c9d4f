#include "services/install_directory.h"
#include "services/text.h"
#include "test_support.h"

void InstallGameStub(const fs::path& dir) { fs::copy_file(GetInstallDirectory() / "torvane_stub.exe", dir / "torvane.exe"); }

std::string ExpectedLaunchRecord(const fs::path& installDir) {
    const std::string game = WideToUtf8((installDir / "torvane.exe").native());
    return "cmdline=\"" + game + "\" --skip-updater\ncwd=" + WideToUtf8(installDir.native()) + "\n";
}
