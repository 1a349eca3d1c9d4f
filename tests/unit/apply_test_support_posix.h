#pragma once
// Runs a piece of a test as an unprivileged user, so that permission bits
// apply (root ignores them).

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

namespace apply_test {

constexpr uid_t kNobody = 65534;

// Opens every directory on the way to `dir` and `dir` itself to all users.
inline void OpenToEveryone(const std::filesystem::path& dir) {
    std::filesystem::permissions(dir, std::filesystem::perms::all);
}

// Runs `body` in a child process under uid/gid 65534; true when it ran and
// returned normally. The child shares open files (the log) with the test.
inline bool RunAsNobody(const std::function<void()>& body) {
    pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        if (setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(2);
        body();
        _exit(0);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace apply_test
