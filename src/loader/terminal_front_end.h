#pragma once
// The POSIX build's stand-in for the progress window: the worker's posts go
// through a queue to the main thread, which draws one status line and a text
// progress bar on the terminal (standard error) and asks before an abort.

#include <string>

// The text drawn for a status, a percentage and the amount done (may be
// empty), fitted into width columns.
std::string RenderProgressLine(const std::wstring& status, int percent, int width, const std::wstring& amount = {});

// Runs on the main thread until the worker's close request or a confirmed
// abort (Ctrl-C, answered yes).
void RunTerminalFrontEnd();
