#pragma once
// How the game is started from a path too long for process creation, which
// takes neither a program path nor a working directory of MAX_PATH characters
// or more: from their short (8.3) forms, when the drive keeps those. Where it
// keeps none the system gives the long path back, which would fail with only
// an error number; the plan then refuses in words.
#include <string>

// Longest path, in characters, that a program or working directory may have for
// process creation: MAX_PATH less the terminating NUL and the separator that
// the current directory gets appended.
inline constexpr std::size_t kLongestStartablePath = 258;

struct LaunchPaths {
    std::wstring program{};       // the game's path
    std::wstring folder{};        // its working directory
    std::wstring programShort{};  // the short forms the system gives (empty: none)
    std::wstring folderShort{};
    std::wstring programFolderShort{};  // of the program's own folder
};

struct LaunchPlan {
    bool start = false;
    std::wstring opened{};     // what process creation opens: a path, or a name in changeTo
    std::wstring shown{};      // the program's path on its command line
    std::wstring directory{};  // the working directory it gets
    std::wstring changeTo{};   // made the current directory first; empty: none
    std::wstring refusal{};    // when not started: why, and what the player can do
};

LaunchPlan PlanLaunch(const LaunchPaths& paths);
