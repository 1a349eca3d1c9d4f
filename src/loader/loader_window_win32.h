#pragma once
// The progress window: status line, progress bar and Close button, changed
// only by the messages the worker posts.
#include <windows.h>

#include <atomic>

constexpr UINT WM_APP_STATUS = WM_APP + 1;       // lParam: heap text the window releases
constexpr UINT WM_APP_PROGRESS = WM_APP + 2;     // wParam: percentage (signed 32-bit)
constexpr UINT WM_APP_WORKER_DONE = WM_APP + 3;  // wParam: 1 enables Close, 0 disables it
constexpr int ID_CLOSE_BUTTON = 1001;
constexpr wchar_t kLoaderClassName[] = L"TELV_UpdaterLoader";
constexpr int kWindowWidth = 490;
constexpr int kWindowHeight = 120;

extern std::atomic<HWND> g_mainWindow;
extern HWND g_statusLabel;
extern HWND g_progressBar;
extern HWND g_closeButton;

LRESULT CALLBACK LoaderWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Creates and centres the window, starts the worker and runs the message
// loop; -1 when the window cannot be created (then no worker starts).
int RunLoaderWindow();
// Registers the window class (idempotent).
void RegisterLoaderClass();
// The top-left corner that centres the window on the work area.
POINT CenterOnWorkArea(const RECT& work);
