#include "loader/loader_window_win32.h"

#include <commctrl.h>

#include "front_end_channel/progress.h"
#include "test_support.h"
#include "worker/updater_worker.h"

namespace {

// A real progress window, its messages handled synchronously.
struct TestWindow {
    HWND handle = nullptr;
    TestWindow() {
        RegisterLoaderClass();
        INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);
        handle = CreateWindowExW(0, kLoaderClassName, L"Updater - Updating...", WS_CAPTION | WS_SYSMENU, 0, 0,
            kWindowWidth, kWindowHeight, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    }
    ~TestWindow() {
        g_workerFinished.store(true);
        if (handle) DestroyWindow(handle);
        for (MSG msg; PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);) {}
        g_statusLabel = g_progressBar = g_closeButton = nullptr;
        g_mainWindow.store(nullptr);
    }
    int Position() const { return static_cast<int>(SendMessageW(g_progressBar, PBM_GETPOS, 0, 0)); }
    std::wstring Status() const {
        wchar_t text[1024] = {};
        GetWindowTextW(g_statusLabel, text, 1024);
        return text;
    }
    void Show(const std::wstring& text) const {
        auto* copy = new wchar_t[text.size() + 1];
        wcscpy(copy, text.c_str());
        SendMessageW(handle, WM_APP_STATUS, 0, reinterpret_cast<LPARAM>(copy));  // the window releases it
    }
};

}  // namespace

TEST(LoaderWindow, CentresOnTheWorkArea) {
    // Work area -> top-left corner, truncated towards zero.
    const std::pair<RECT, POINT> cases[] = {{{0, 0, 1920, 1040}, {715, 460}}, {{100, 0, 1380, 1000}, {495, 440}},
        {{0, 0, 401, 300}, {-44, 90}}, {{0, 0, 0, 0}, {-245, -60}}};
    for (const auto& [work, corner] : cases) {
        EXPECT_EQ(CenterOnWorkArea(work, {490, 120}).x, corner.x) << work.right;
        EXPECT_EQ(CenterOnWorkArea(work, {490, 120}).y, corner.y) << work.bottom;
    }
}

TEST(LoaderWindow, StatusProgressAndCloseButton) {
    TestWindow window;
    ASSERT_TRUE(window.handle && g_statusLabel && g_progressBar && g_closeButton);
    EXPECT_EQ(window.Status(), L"Preparing...");
    EXPECT_FALSE(IsWindowEnabled(g_closeButton));
    EXPECT_EQ(GetDlgCtrlID(g_closeButton), ID_CLOSE_BUTTON);
    const std::pair<WPARAM, int> progress[] = {{57, 57}, {WPARAM(-5), 0}, {101, 100}, {0xFFFFFFFFu, 0}, {100, 100}};
    for (const auto& [sent, shown] : progress) {
        SendMessageW(window.handle, WM_APP_PROGRESS, sent, 0);
        EXPECT_EQ(window.Position(), shown) << sent;
    }
    for (const std::wstring& text : {std::wstring(L"Checking..."), std::wstring(), std::wstring(600, L'x')}) {
        window.Show(text);
        EXPECT_EQ(window.Status(), text);
    }
    EXPECT_EQ(SendMessageW(window.handle, WM_COMMAND, 1234, 0), 0);
    EXPECT_TRUE(IsWindow(window.handle)) << "other commands do nothing";
    SendMessageW(window.handle, WM_APP_WORKER_DONE, 1, 0);
    EXPECT_TRUE(IsWindowEnabled(g_closeButton));
    SendMessageW(window.handle, WM_APP_WORKER_DONE, 0, 0);
    EXPECT_FALSE(IsWindowEnabled(g_closeButton));
}

TEST(LoaderWindow, CloseAfterTheWorkerFinishedEndsWithoutAQuestion) {
    TestWindow window;
    g_workerFinished.store(true);
    SendMessageW(window.handle, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(window.handle));
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 0u);
    window.handle = nullptr;
}

TEST(PostStatus, ReachesTheWindowInOrderAndNothingWithoutOne) {
    PostStatus(L"nobody listens");
    PostProgress(50);
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, WM_APP_STATUS, WM_APP_PROGRESS, PM_REMOVE));
    TestWindow window;
    g_mainWindow.store(window.handle);
    PostStatus(L"one");
    PostProgress(40);
    PostStatus(L"two");
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    EXPECT_EQ(window.Status(), L"two");
    EXPECT_EQ(window.Position(), 40);
}
