#pragma once
// How the worker talks to whatever front end the process has (the progress
// window, or the terminal). Every call returns at once and does nothing when
// there is no front end, so the update logic runs unchanged without one.

#include <string>

void PostStatus(const std::wstring& text);
void PostProgress(int percent);
// How much of the current work is done ("312 / 1024 MB"), shown beside the
// bar where the front end has room for it (the terminal); the next status
// text clears it.
void PostProgressAmount(const std::wstring& amount);
// Enables the Close button.
void PostWorkerDone();
// The worker's own request to close the front end after the launch.
void PostCloseRequest();
