#include <gtest/gtest.h>

#include "loader/loader_window_win32.h"

#include <commctrl.h>

#include "loader/progress.h"

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
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {}
        g_statusLabel = g_progressBar = g_closeButton = nullptr;
    }
    int Position() const { return static_cast<int>(SendMessageW(g_progressBar, PBM_GETPOS, 0, 0)); }
    std::wstring Status() const {
        wchar_t text[512] = {};
        GetWindowTextW(g_statusLabel, text, 512);
        return text;
    }
};

}  // namespace

TEST(LoaderWindow, CentresOnTheWorkArea) {
    auto at = [](LONG l, LONG t, LONG r, LONG b) { return CenterOnWorkArea(RECT{l, t, r, b}); };
    EXPECT_EQ(at(0, 0, 1920, 1040).x, 715);
    EXPECT_EQ(at(0, 0, 1920, 1040).y, 460);
    EXPECT_EQ(at(0, 0, 1366, 728).x, 438);
    EXPECT_EQ(at(0, 0, 1366, 728).y, 304);
    EXPECT_EQ(at(100, 0, 1380, 1000).x, 495);
    EXPECT_EQ(at(0, 0, 401, 300).x, -44) << "truncated towards zero";
    EXPECT_EQ(at(0, 0, 0, 0).x, -245);
    EXPECT_EQ(at(0, 0, 0, 0).y, -60);
}

TEST(LoaderWindow, StartsWithItsControlsInPlace) {
    TestWindow window;
    ASSERT_NE(window.handle, nullptr);
    ASSERT_NE(g_statusLabel, nullptr);
    ASSERT_NE(g_progressBar, nullptr);
    ASSERT_NE(g_closeButton, nullptr);
    EXPECT_EQ(window.Status(), L"Preparing...");
    EXPECT_EQ(window.Position(), 0);
    EXPECT_FALSE(IsWindowEnabled(g_closeButton));
    EXPECT_EQ(GetDlgCtrlID(g_closeButton), ID_CLOSE_BUTTON);
    RECT outer{};
    GetWindowRect(window.handle, &outer);
    EXPECT_EQ(outer.right - outer.left, 490);
    EXPECT_EQ(outer.bottom - outer.top, 120);
}

TEST(LoaderWindow, ProgressIsClamped) {
    TestWindow window;
    const struct {
        WPARAM sent;
        int shown;
    } cases[] = {{57, 57}, {static_cast<WPARAM>(-5), 0}, {150, 100}, {0xFFFFFFFFu, 0}, {100, 100}, {0, 0}};
    for (const auto& c : cases) {
        SendMessageW(window.handle, WM_APP_PROGRESS, c.sent, 0);
        EXPECT_EQ(window.Position(), c.shown) << c.sent;
    }
}

TEST(LoaderWindow, StatusTextsAndCloseButton) {
    TestWindow window;
    for (const wchar_t* text : {L"Checking local versions...", L"", L"Launching game..."}) {
        auto* copy = new wchar_t[wcslen(text) + 1];
        wcscpy(copy, text);
        SendMessageW(window.handle, WM_APP_STATUS, 0, reinterpret_cast<LPARAM>(copy));
        EXPECT_EQ(window.Status(), text);
    }
    std::wstring longText(600, L'x');
    auto* copy = new wchar_t[longText.size() + 1];
    wcscpy(copy, longText.c_str());
    SendMessageW(window.handle, WM_APP_STATUS, 0, reinterpret_cast<LPARAM>(copy));
    EXPECT_EQ(GetWindowTextLengthW(g_statusLabel), 600) << "stored whole";

    EXPECT_EQ(SendMessageW(window.handle, WM_COMMAND, 1234, 0), 0);
    EXPECT_TRUE(IsWindow(window.handle)) << "other commands do nothing";
    SendMessageW(window.handle, WM_APP_WORKER_DONE, 1, 0);
    EXPECT_TRUE(IsWindowEnabled(g_closeButton));
    SendMessageW(window.handle, WM_APP_WORKER_DONE, 0, 0);
    EXPECT_FALSE(IsWindowEnabled(g_closeButton));
}

TEST(LoaderWindow, CloseAfterTheWorkerFinishedDestroysWithoutAQuestion) {
    TestWindow window;
    g_workerFinished.store(true);
    SendMessageW(window.handle, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(window.handle));
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 0u);
    window.handle = nullptr;
}

TEST(PostStatus, DoesNothingWithoutAWindow) {
    g_mainWindow.store(nullptr);
    PostStatus(L"nobody listens");
    PostProgress(50);
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, WM_APP_STATUS, WM_APP_PROGRESS, PM_REMOVE));
}

TEST(PostStatus, PostsInOrderToTheWindow) {
    TestWindow window;
    g_mainWindow.store(window.handle);
    PostStatus(L"one");
    PostProgress(40);
    PostStatus(L"two");
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    g_mainWindow.store(nullptr);
    EXPECT_EQ(window.Status(), L"two");
    EXPECT_EQ(window.Position(), 40);
}
