#include "loader/loader_window_win32.h"

#include <commctrl.h>

#include "base/log.h"
#include "loader/clamp_percent.h"
#include "loader/window_layout.h"
#include "worker/updater_worker.h"
#include "worker/worker_thread.h"

HWND g_statusLabel = nullptr;
HWND g_progressBar = nullptr;
HWND g_closeButton = nullptr;

namespace {

HFONT g_messageFont = nullptr;  // the controls' font, at the window's DPI
bool g_askingToAbort = false;   // the abort question is open

HWND CreateChild(HWND parent, const wchar_t* cls, const wchar_t* text, int id) {
    return CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, parent,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
}

// Looked up at run time: both arrived with Windows 10 1607.
template <typename Function>
Function User32(const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

// The DPI of the monitor the window is on (per-monitor aware, as the manifest
// declares), else the system's.
unsigned WindowDpi(HWND window) {
    static const auto getDpiForWindow = User32<UINT(WINAPI*)(HWND)>("GetDpiForWindow");
    if (getDpiForWindow) return getDpiForWindow(window);
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return static_cast<unsigned>(dpi);
}

// The font Windows uses for message boxes, at that DPI.
HFONT MessageFont(unsigned dpi) {
    static const auto forDpi = User32<BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT)>("SystemParametersInfoForDpi");
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    const bool read = forDpi ? forDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi)
                             : SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    return read ? CreateFontIndirectW(&metrics.lfMessageFont) : nullptr;
}

void Place(HWND control, const LayoutBox& box) {
    if (control) MoveWindow(control, box.x, box.y, box.width, box.height, TRUE);
}

// Lays the controls out, and gives them the message font, for the window's DPI.
void ApplyLayout(HWND window) {
    const unsigned dpi = WindowDpi(window);
    const WindowLayout layout = LayoutForDpi(dpi);
    Place(g_statusLabel, layout.status);
    Place(g_progressBar, layout.bar);
    Place(g_closeButton, layout.close);
    HFONT font = MessageFont(dpi);
    for (HWND control : {g_statusLabel, g_closeButton})
        if (control) SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    if (g_messageFont) DeleteObject(g_messageFont);
    g_messageFont = font;
}

// The window's outer size for the layout's client area at its DPI.
SIZE WindowSize(HWND window) {
    const WindowLayout layout = LayoutForDpi(WindowDpi(window));
    RECT frame{0, 0, layout.clientWidth, layout.clientHeight};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE)), FALSE,
        static_cast<DWORD>(GetWindowLongPtrW(window, GWL_EXSTYLE)));
    return {frame.right - frame.left, frame.bottom - frame.top};
}

void CreateControls(HWND window) {
    g_statusLabel = CreateChild(window, L"STATIC", L"Preparing...", 0);
    g_progressBar = CreateChild(window, PROGRESS_CLASSW, nullptr, 0);
    g_closeButton = CreateChild(window, L"BUTTON", L"Close", ID_CLOSE_BUTTON);
    ApplyLayout(window);
    if (g_progressBar) {
        SendMessageW(g_progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
        SendMessageW(g_progressBar, PBM_SETPOS, 0, 0);
    }
    if (g_closeButton) EnableWindow(g_closeButton, FALSE);
}

// Moved to a monitor of another DPI: the size Windows suggests, and the layout anew.
void ChangeDpi(HWND window, LPARAM lParam) {
    const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
    SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
        suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
    ApplyLayout(window);
}

// Once the worker has finished, closing ends the program; before that the
// user must confirm the abort, and the worker is simply left behind. A second
// close while the question is open (the question's loop still delivers it)
// asks nothing more.
void DecideClose(HWND window) {
    if (g_workerFinished.load()) {
        DestroyWindow(window);
        return;
    }
    if (g_askingToAbort) return;
    g_askingToAbort = true;
    int answer = MessageBoxW(window, L"Update is still running. Are you sure you want to abort?", L"Abort update",
        MB_YESNO | MB_ICONWARNING);
    g_askingToAbort = false;
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
        case WM_DPICHANGED: ChangeDpi(window, lParam); return 0;
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

POINT CenterOnWorkArea(const RECT& work, SIZE window) {
    // An odd leftover pixel goes to the right or bottom, also when the window is
    // larger than the work area (signed division truncates towards zero).
    return {work.left + (work.right - work.left - window.cx) / 2, work.top + (work.bottom - work.top - window.cy) / 2};
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
    const SIZE size = WindowSize(window);
    POINT origin = CenterOnWorkArea(work, size);
    SetWindowPos(window, nullptr, origin.x, origin.y, size.cx, size.cy, SWP_NOZORDER);
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
