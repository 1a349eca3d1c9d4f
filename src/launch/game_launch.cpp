#include "launch/game_launch.h"

#include <string>
#include <system_error>

#include "base/file_system.h"
#include "base/log.h"

void LaunchGame(const std::filesystem::path& installDir) {
    const std::filesystem::path game = installDir / "torvane.exe";
    // Any kind of entry counts as present; when the test itself fails the
    // start is still tried, so the platform's own error reaches the log.
    std::error_code ec;
    auto status = EntryStatus(game, ec);
    if (status.type() == std::filesystem::file_type::not_found) {
        LogLine(L"torvane.exe missing. Cannot launch.");
        return;
    }
    std::uint32_t errorCode = 0;
    if (StartGameProcess(game, installDir, errorCode))
        LogLine(L"Launched torvane.exe successfully.");
    else
        LogLine(L"Failed to launch torvane.exe. GLE=" + std::to_wstring(errorCode));
}
