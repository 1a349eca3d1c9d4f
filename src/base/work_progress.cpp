#include "base/work_progress.h"

#include <utility>

namespace {

WorkWatcher g_workWatcher;

}  // namespace

void WatchWork(WorkWatcher watcher) { g_workWatcher = std::move(watcher); }

void ReportWork(std::uint64_t done, std::uint64_t total) {
    if (g_workWatcher) g_workWatcher(done, total);
}
