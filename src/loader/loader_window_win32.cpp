#include "loader/loader_window_win32.h"

#include <commctrl.h>

#include "base/log.h"
#include "loader/clamp_percent.h"
#include "worker/updater_worker.h"
#include "worker/worker_thread.h"

HWND g_statusLabel = nullptr;
HWND g_progressBar = nullptr;
HWND g_closeButton = nullptr;

namespace {

HWND CreateChild(HWND parent, const wchar_t* cls, const wchar_t* text, int x, int y, int w, int h, int id) {
    return CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE, x, y, w, h, parent,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
}

void CreateControls(HWND window) {
    g_statusLabel = CreateChild(window, L"STATIC", L"Preparing...", 12, 12, 460, 20, 0);
    g_progressBar = CreateChild(window, PROGRESS_CLASSW, nullptr, 12, 40, 460, 20, 0);
    g_closeButton = CreateChild(window, L"BUTTON", L"Close", 380, 72, 92, 26, ID_CLOSE_BUTTON);
    if (g_progressBar) {
        SendMessageW(g_progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
        SendMessageW(g_progressBar, PBM_SETPOS, 0, 0);
    }
    if (g_closeButton) EnableWindow(g_closeButton, FALSE);
}

// Once the worker has finished, closing ends the program; before that the
// user must confirm the abort, and the worker is simply left behind.
void DecideClose(HWND window) {
    if (g_workerFinished.load()) {
        DestroyWindow(window);
        return;
    }
    int answer = MessageBoxW(window, L"Update is still running. Are you sure you want to abort?", L"Abort update",
        MB_YESNO | MB_ICONWARNING);
    if (answer == IDYES) PostQuitMessage(1);
}

void SetStatusText(LPARAM lParam) {
    auto* text = reinterpret_cast<wchar_t*>(lParam);
    if (g_statusLabel) SetWindowTextW(g_statusLabel, text);
    delete[] text;
}

void SetProgress(WPARAM wParam) {
    if (!g_progressBar) return;
    int percent = ClampPercent(static_cast<int>(static_cast<INT32>(static_cast<UINT32>(wParam))));
    SendMessageW(g_progressBar, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
}

}  // namespace

LRESULT CALLBACK LoaderWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE: CreateControls(window); return 0;
        case WM_DESTROY: PostQuitMessage(0); return 0;
        case WM_CLOSE: DecideClose(window); return 0;
        case WM_COMMAND:
            if (LOWORD(wParam) == ID_CLOSE_BUTTON) PostMessageW(window, WM_CLOSE, 0, 0);
            return 0;
        case WM_APP_STATUS: SetStatusText(lParam); return 0;
        case WM_APP_PROGRESS: SetProgress(wParam); return 0;
        case WM_APP_WORKER_DONE:
            if (g_closeButton) EnableWindow(g_closeButton, wParam != 0);
            return 0;
        default: return DefWindowProcW(window, message, wParam, lParam);
    }
}

POINT CenterOnWorkArea(const RECT& work) {
    // An odd leftover pixel goes to the right or bottom, also when the window is
    // larger than the work area (signed division truncates towards zero).
    return {work.left + (work.right - work.left - kWindowWidth) / 2,
        work.top + (work.bottom - work.top - kWindowHeight) / 2};
}

void RegisterLoaderClass() {
    WNDCLASSW cls{};
    cls.lpfnWndProc = LoaderWndProc;
    cls.hInstance = GetModuleHandleW(nullptr);
    cls.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    cls.lpszClassName = kLoaderClassName;
    RegisterClassW(&cls);
}

int RunLoaderWindow() {
    RegisterLoaderClass();
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);

    HWND window = CreateWindowExW(0, kLoaderClassName, L"Updater - Updating...",
        WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT, CW_USEDEFAULT, kWindowWidth, kWindowHeight, nullptr,
        nullptr, GetModuleHandleW(nullptr), nullptr);
    g_mainWindow.store(window);
    if (!window) return -1;

    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    POINT origin = CenterOnWorkArea(work);
    SetWindowPos(window, nullptr, origin.x, origin.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);

    g_workerFinished.exchange(false);
    if (!StartDetachedWorker()) {
        DestroyWindow(window);
    }
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    g_mainWindow.store(nullptr);
    g_statusLabel = g_progressBar = g_closeButton = nullptr;
    return 0;
}
