#include "front_end_channel/progress.h"

#include <cwchar>

#include "front_end_channel/window_messages_win32.h"

void PostStatus(const std::wstring& text) {
    HWND window = g_mainWindow.load();
    if (!window) return;
    auto* copy = new wchar_t[text.size() + 1];
    std::wmemcpy(copy, text.c_str(), text.size() + 1);
    // A refused post never reaches the window, so the text is released here.
    if (!PostMessageW(window, WM_APP_STATUS, 0, reinterpret_cast<LPARAM>(copy))) delete[] copy;
}

void PostProgress(int percent) {
    HWND window = g_mainWindow.load();
    if (window) PostMessageW(window, WM_APP_PROGRESS, static_cast<WPARAM>(static_cast<unsigned>(percent)), 0);
}

// The window keeps its fixed layout: the bar shows the share, not the amount.
void PostProgressAmount(const std::wstring&) {}

void PostWorkerDone() {
    HWND window = g_mainWindow.load();
    if (window) PostMessageW(window, WM_APP_WORKER_DONE, 1, 0);
}

void PostCloseRequest() {
    HWND window = g_mainWindow.load();
    if (window) PostMessageW(window, WM_CLOSE, 0, 0);
}
