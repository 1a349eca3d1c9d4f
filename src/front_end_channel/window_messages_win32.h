#pragma once
// The Windows build's channel from the worker to the progress window: the
// window's handle and the messages the worker posts to it.
#include <windows.h>

#include <atomic>

constexpr UINT WM_APP_STATUS = WM_APP + 1;       // lParam: heap text the window releases
constexpr UINT WM_APP_PROGRESS = WM_APP + 2;     // wParam: percentage (signed 32-bit)
constexpr UINT WM_APP_WORKER_DONE = WM_APP + 3;  // wParam: 1 enables Close, 0 disables it

// The progress window while it exists; posts without it go nowhere.
extern std::atomic<HWND> g_mainWindow;
