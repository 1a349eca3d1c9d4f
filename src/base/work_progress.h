#pragma once
// How far a long operation has come, for whoever shows it: a download counts
// bytes, the extraction entries, the delete and copy phases files. Reports
// cost nothing while no one watches. Worker thread only.

#include <cstdint>
#include <functional>

// total 0: the operation does not know its total; the watcher may.
using WorkWatcher = std::function<void(std::uint64_t done, std::uint64_t total)>;

// An empty watcher stops the watching.
void WatchWork(WorkWatcher watcher);
void ReportWork(std::uint64_t done, std::uint64_t total);
