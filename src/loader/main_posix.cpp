// POSIX entry: the same sequence as the Windows loader, with the terminal in
// place of the window (and no front end at all without a terminal).
#include <unistd.h>

#include <cstdlib>

#include "base/install_directory.h"
#include "base/log.h"
#include "front_end_channel/event_queue.h"
#include "loader/instance_lock.h"
#include "loader/terminal_front_end.h"
#include "worker/updater_worker.h"
#include "worker/worker_thread.h"

namespace {

// Without a terminal the main thread only waits for the worker's close request.
void WaitForCloseRequest() {
    FrontEndEvent event;
    while (true) {
        if (TakeFrontEndEvent(event, std::chrono::milliseconds(1000)) && event.kind == FrontEndEvent::Kind::Close &&
            g_workerFinished.load())
            return;
    }
}

}  // namespace

int main() {
    if (!StartAsOnlyUpdater(GetInstallDirectory())) return 0;

    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    EnableTerminalDrawing(terminal);
    g_workerFinished.store(false);
    if (StartDetachedWorker()) {
        if (terminal)
            RunTerminalFrontEnd();
        else
            WaitForCloseRequest();
    }

    EnableTerminalDrawing(false);
    LogLine(L"=== Updater end (loader) ===");
    // The worker may still be running (after an abort, or writing its last
    // line): the process ends here without running exit handlers under it,
    // which would tear down libraries it is using. The log has nothing buffered.
    std::_Exit(0);
}
