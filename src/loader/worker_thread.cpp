#include "loader/progress.h"
#include "worker/updater_worker.h"

std::atomic<bool> g_workerFinished{false};

int ClampPercent(int percent) { return percent < 0 ? 0 : (percent > 100 ? 100 : percent); }

void WorkerThreadEntry() {
    UpdaterWorker();
    g_workerFinished.exchange(true);
    PostWorkerDone();
}
