#pragma once
// The POSIX build's stand-in for the progress window: the worker's posts go
// through a queue to the main thread, which draws one status line and a text
// progress bar on the terminal (standard error) and asks before an abort.

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
void QueueFrontEndEvent(FrontEndEvent event);
// Waits up to the timeout for the next event.
bool TakeFrontEndEvent(FrontEndEvent& event, std::chrono::milliseconds timeout);

// The text drawn for a status, a percentage and the amount done (may be
// empty), fitted into width columns.
std::string RenderProgressLine(const std::wstring& status, int percent, int width, const std::wstring& amount = {});

// Runs on the main thread until the worker's close request or a confirmed
// abort (Ctrl-C, answered yes).
void RunTerminalFrontEnd();
