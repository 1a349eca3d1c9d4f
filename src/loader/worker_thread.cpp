#include <system_error>
#include <thread>

#include "loader/progress.h"
#include "services/log.h"
#include "worker/updater_worker.h"

std::atomic<bool> g_workerFinished{false};

int ClampPercent(int percent) { return percent < 0 ? 0 : (percent > 100 ? 100 : percent); }

bool StartDetachedWorker() {
    try {
        std::thread(WorkerThreadEntry).detach();
        return true;
    } catch (const std::system_error&) {
        LogLine(L"Could not start the worker thread.");
        return false;
    }
}

void WorkerThreadEntry() {
    UpdaterWorker();
    g_workerFinished.exchange(true);
    PostWorkerDone();
}
