#include "game_launch_support.h"
#include "services/install_directory.h"

void InstallGameStub(const std::filesystem::path& dir) {
    std::filesystem::copy_file(GetInstallDirectory() / "torvane_stub.sh", dir / "torvane.exe");
}

std::string ExpectedLaunchRecord(const std::filesystem::path& installDir) {
    return "cwd=" + installDir.string() + "\narg=--skip-updater\n";
}
