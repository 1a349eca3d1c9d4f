#pragma once
// The release tool's command line.

#include <filesystem>
#include <string>

struct ReleaseOptions {
    std::filesystem::path gameDir;
    std::filesystem::path mapsDir;
    std::filesystem::path outDir;
    std::filesystem::path signKey;         // empty: version.txt is not signed
    std::filesystem::path passphraseFile;  // empty: an encrypted key's passphrase is asked on the terminal
    std::string gameVersion;
    std::string updaterVersion;
};

inline constexpr const char* kReleaseUsage =
    "usage: updater-release --game-dir DIR --maps-dir DIR --game-version X --updater-version Y\n"
    "                       [--sign-key KEY.pem [--key-passphrase-file FILE]] --out OUTDIR\n";

// False with a one-line reason for a missing, repeated or unknown option, or a
// version that cannot stand on a version.txt line.
bool ParseReleaseOptions(int argc, char** argv, ReleaseOptions& options, std::string& error);
