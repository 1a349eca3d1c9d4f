#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>

#include "base/owned_fd_posix.h"
#include "base/text.h"
#include "base/write_all_posix.h"
#include "front_end_channel/event_queue.h"
#include "loader/clamp_percent.h"
#include "loader/terminal_front_end.h"
#include "worker/updater_worker.h"

namespace {

// The signal may be delivered to any thread (the worker's or a pool's), so a
// lock-free atomic rather than a volatile flag, which is safe on one thread only.
std::atomic<bool> g_interruptRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void OnInterrupt(int) { g_interruptRequested.store(true); }

constexpr int kBarWidth = 30;

int TerminalWidth() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

// A terminal that cannot be written to only loses the picture.
void WriteToTerminal(const std::string& text) { WriteAll(STDERR_FILENO, text); }

struct Screen {
    std::wstring status = L"Preparing...";
    int percent = 0;
    std::wstring amount;
    void Draw() const { WriteToTerminal("\r\x1b[K" + RenderProgressLine(status, percent, TerminalWidth(), amount)); }
};

// Reads the answer from the terminal; the worker's close request meanwhile
// ends the question (the update is over, nothing is left to abort).
bool AskAbort() {
    WriteToTerminal("\r\x1b[KUpdate is still running. Are you sure you want to abort? [y/N] ");
    OwnedFd tty(::open("/dev/tty", O_RDONLY | O_CLOEXEC));
    if (!tty) return false;
    std::string answer;
    bool decided = false;
    while (!decided && !g_workerFinished.load()) {
        pollfd waiting{tty.Get(), POLLIN, 0};
        if (::poll(&waiting, 1, 100) <= 0) continue;
        char c = 0;
        if (::read(tty.Get(), &c, 1) <= 0 || c == '\n')
            decided = true;
        else
            answer += c;
    }
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

void Apply(const FrontEndEvent& event, Screen& screen) {
    if (event.kind == FrontEndEvent::Kind::Status) {
        screen.status = event.text;
        screen.amount.clear();
    }
    if (event.kind == FrontEndEvent::Kind::Amount) screen.amount = event.text;
    if (event.kind == FrontEndEvent::Kind::Progress) screen.percent = ClampPercent(event.percent);
}

}  // namespace

std::string RenderProgressLine(const std::wstring& status, int percent, int width, const std::wstring& amount) {
    percent = ClampPercent(percent);
    const int filled = percent * kBarWidth / 100;
    std::string bar =
        " [" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "] " + std::to_string(percent) + "%";
    // Appended, not concatenated: g++ 12 at -O3 warns falsely about " " + string.
    if (!amount.empty()) bar.append(" ").append(WideToUtf8(amount));
    const int room = width - static_cast<int>(bar.size()) - 1;
    std::wstring shown = status;
    if (room <= 0)
        shown.clear();
    else if (static_cast<int>(shown.size()) > room)
        shown = shown.substr(0, room);
    return WideToUtf8(shown) + bar;
}

void RunTerminalFrontEnd() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);

    Screen screen;
    screen.Draw();
    while (true) {
        FrontEndEvent event;
        if (TakeFrontEndEvent(event, std::chrono::milliseconds(100))) {
            if (event.kind == FrontEndEvent::Kind::Close && g_workerFinished.load()) break;
            Apply(event, screen);
            screen.Draw();
        }
        if (g_interruptRequested.exchange(false)) {
            if (g_workerFinished.load() || AskAbort()) break;
            screen.Draw();
        }
    }
    WriteToTerminal("\n");
}
