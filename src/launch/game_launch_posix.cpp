#include <spawn.h>

#include "launch/game_launch.h"

extern char** environ;

bool StartGameProcess(
    const std::filesystem::path& executable, const std::filesystem::path& workingDir, std::uint32_t& errorCode) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, workingDir.c_str());
    std::string program = executable.native();
    std::string flag = "--skip-updater";
    char* argv[] = {program.data(), flag.data(), nullptr};
    pid_t child = 0;
    int result = posix_spawn(&child, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    // The game is never waited for; SIGCHLD is left at its default, so an
    // ended game lingers as a zombie only until the updater itself ends.
    errorCode = static_cast<std::uint32_t>(result);
    return result == 0;
}
