#include "worker/worker_thread.h"

#include <system_error>
#include <thread>

#include "base/log.h"
#include "worker/updater_worker.h"

bool StartDetachedWorker() {
    try {
        std::thread(UpdaterWorker).detach();
        return true;
    } catch (const std::system_error&) {
        LogLine(L"Could not start the worker thread.");
        return false;
    }
}
