#pragma once
#include <cstdint>
#include <filesystem>

// Starts torvane.exe from the install directory with --skip-updater, the
// install directory as its working directory; logs one line, never waits.
void LaunchGame(const std::filesystem::path& installDir);

// Platform part: starts the program without waiting; on failure returns false
// and the platform's error code (GetLastError or errno).
bool StartGameProcess(
    const std::filesystem::path& executable, const std::filesystem::path& workingDir, std::uint32_t& errorCode);
