#pragma once
// The progress window: status line, progress bar and Close button, changed
// only by the messages the worker posts.
#include <windows.h>

#include "front_end_channel/window_messages_win32.h"

constexpr int ID_CLOSE_BUTTON = 1001;
constexpr wchar_t kLoaderClassName[] = L"TELV_UpdaterLoader";
// The size it is created with; then sized for its layout at its DPI (window_layout.h).
constexpr int kWindowWidth = 490;
constexpr int kWindowHeight = 120;

extern HWND g_statusLabel;
extern HWND g_progressBar;
extern HWND g_closeButton;

LRESULT CALLBACK LoaderWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Creates and centres the window, starts the worker and runs the message
// loop; -1 when the window cannot be created (then no worker starts).
int RunLoaderWindow();
// Registers the window class (idempotent).
void RegisterLoaderClass();
// The top-left corner that centres a window of that size on the work area.
POINT CenterOnWorkArea(const RECT& work, SIZE window);
