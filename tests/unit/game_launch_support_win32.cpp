#include "game_launch_support.h"
#include "services/install_directory.h"
#include "services/text.h"

void InstallGameStub(const std::filesystem::path& dir) {
    std::filesystem::copy_file(GetInstallDirectory() / "torvane_stub.exe", dir / "torvane.exe");
}

std::string ExpectedLaunchRecord(const std::filesystem::path& installDir) {
    const std::string game = WideToUtf8((installDir / "torvane.exe").native());
    return "cmdline=\"" + game + "\" --skip-updater\ncwd=" + WideToUtf8(installDir.native()) + "\n";
}
