#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "base/owned_fd_posix.h"
#include "release/passphrase_prompt.h"

namespace {

void WriteText(int fd, const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written <= 0) return;
        done += static_cast<std::size_t>(written);
    }
}

// One line up to its line end (not kept), or to the end of input.
bool ReadLine(int fd, std::string& line) {
    line.clear();
    char c = 0;
    ssize_t got = 0;
    while ((got = ::read(fd, &c, 1)) == 1 && c != '\n') line += c;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return got >= 0;
}

}  // namespace

bool AskPassphraseOnTerminal(const std::string& prompt, std::string& passphrase) {
    OwnedFd terminal(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!terminal) return false;
    termios saved{};
    const bool quiet = ::tcgetattr(terminal.Get(), &saved) == 0;
    if (quiet) {
        termios silent = saved;
        silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        silent.c_lflag |= ECHONL;
        ::tcsetattr(terminal.Get(), TCSAFLUSH, &silent);
    }
    WriteText(terminal.Get(), prompt);
    const bool read = ReadLine(terminal.Get(), passphrase);
    if (quiet) ::tcsetattr(terminal.Get(), TCSAFLUSH, &saved);
    return read;
}
