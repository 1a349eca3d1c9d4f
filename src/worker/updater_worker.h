#pragma once
#include <atomic>
#include <filesystem>

#include "version/version_file.h"

// Set once the worker has launched the game; a close request then ends the
// program without asking. Never goes back to false.
extern std::atomic<bool> g_workerFinished;

// The worker thread's whole run: version check, update and maps stages when
// due, game launch, and the request to close the front end.
void UpdaterWorker();

// The run's work on the installation in installDir: version check, update and
// maps stages when due, game launch.
void RunUpdatePass(const std::filesystem::path& installDir);

// Fetches the server's version.txt into "__remote_version.txt" and reads it
// into `remote`; false, with `remote` untouched, when it cannot be fetched or
// read. The fetched file is always removed.
bool FetchRemoteVersion(const std::filesystem::path& installDir, VersionInfo& remote);
