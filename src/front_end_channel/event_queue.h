#pragma once
// The POSIX build's channel from the worker to the main thread: the worker's
// posts become events in one queue, which the terminal front end (or, without
// a terminal, the wait for the close request) takes from.

#include <chrono>
#include <string>

struct FrontEndEvent {
    enum class Kind { Status, Progress, Amount, WorkerDone, Close } kind;
    std::wstring text;
    int percent = 0;
};

// With drawing on, status texts and percentages are queued for the terminal;
// without it they are dropped, as posts are without a window. Close requests
// always reach the main thread.
void EnableTerminalDrawing(bool drawing);
bool TerminalDrawingEnabled();
void QueueFrontEndEvent(FrontEndEvent event);
// Waits up to the timeout for the next event.
bool TakeFrontEndEvent(FrontEndEvent& event, std::chrono::milliseconds timeout);
