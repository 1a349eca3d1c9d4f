#include <sys/wait.h>
#include <unistd.h>
#include <cstdlib>

#include "base/install_directory.h"
#include "test_support.h"

bool RunAsNobody(const fs::path& scratch, const fs::path& locked, const std::function<void()>& body) {
    std::error_code ec;
    fs::permissions(scratch, fs::perms::all);
    for (fs::recursive_directory_iterator it(scratch, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_directory()) fs::permissions(it->path(), fs::perms::all);
    if (!locked.empty())
        fs::permissions(locked, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        body();
        _exit(0);
    }
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void SetEnvironment(const char* name, const std::optional<std::string>& value) {
    if (value)
        setenv(name, value->c_str(), 1);
    else
        unsetenv(name);
}

bool RunWhileHeld(const fs::path& scratch, const fs::path& held, const std::function<void()>& body) {
    return RunAsNobody(scratch, held, body);
}

void InstallGameStub(const fs::path& dir) {
    fs::copy_file(GetInstallDirectory() / "torvane_stub.sh", dir / "torvane.exe");
}

std::string ExpectedLaunchRecord(const fs::path& installDir) {
    return "cwd=" + installDir.string() + "\narg=--skip-updater\n";
}
