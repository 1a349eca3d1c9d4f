#pragma once

// Starts the one worker thread (UpdaterWorker), detached; false (and a log
// line) when the platform refuses a new thread.
bool StartDetachedWorker();
