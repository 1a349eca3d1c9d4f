#include <gtest/gtest.h>

#include "front_end/event_queue.h"
#include "front_end/progress.h"
#include "loader/terminal_front_end.h"
#include "worker/updater_worker.h"

TEST(TerminalFrontEnd, DrawsStatusAndClampedBar) {
    EXPECT_EQ(RenderProgressLine(L"Applying update...", 50, 80),
              "Applying update... [###############...............] 50%");
    EXPECT_EQ(RenderProgressLine(L"x", -5, 80), "x [..............................] 0%");
    EXPECT_EQ(RenderProgressLine(L"x", 150, 80), "x [##############################] 100%");
    EXPECT_EQ(RenderProgressLine(L"caf\u00e9", 0, 80).substr(0, 5), "caf\xC3\xA9") << "drawn as UTF-8";
    EXPECT_EQ(RenderProgressLine(L"a long status text", 100, 44), "a lon [##############################] 100%")
        << "the status is cut to fit the terminal";
    EXPECT_EQ(RenderProgressLine(L"Downloading", 30, 80, L"312 / 1024 MB"),
              "Downloading [#########.....................] 30% 312 / 1024 MB");
}

TEST(TerminalFrontEnd, PostsReachTheQueueOnlyWhileDrawing) {
    FrontEndEvent event;
    while (TakeFrontEndEvent(event, std::chrono::milliseconds(0))) {}
    EnableTerminalDrawing(false);
    PostStatus(L"dropped");
    PostProgress(3);
    PostWorkerDone();
    EXPECT_FALSE(TakeFrontEndEvent(event, std::chrono::milliseconds(0)));

    EnableTerminalDrawing(true);
    PostStatus(L"shown");
    PostProgress(7);
    PostWorkerDone();
    PostCloseRequest();
    EnableTerminalDrawing(false);
    using enum FrontEndEvent::Kind;
    const FrontEndEvent expected[] = {{Status, L"shown"}, {Progress, L"", 7}, {WorkerDone, L""}, {Close, L""}};
    for (const FrontEndEvent& want : expected) {
        ASSERT_TRUE(TakeFrontEndEvent(event, std::chrono::milliseconds(0)));
        EXPECT_EQ(event.kind, want.kind);
        EXPECT_EQ(event.text, want.text);
        EXPECT_EQ(event.percent, want.percent);
    }
}

TEST(TerminalFrontEnd, DrawsTheAmountUntilTheNextStatus) {
    EnableTerminalDrawing(true);
    PostStatus(L"Downloading");
    PostProgressAmount(L"312 / 1024 MB");
    PostProgress(30);
    PostStatus(L"Copying");
    g_workerFinished = true;
    PostCloseRequest();
    testing::internal::CaptureStderr();
    RunTerminalFrontEnd();
    const std::string drawn = testing::internal::GetCapturedStderr();
    g_workerFinished = false;
    EnableTerminalDrawing(false);
    EXPECT_NE(drawn.find("Downloading [#########.....................] 30% 312 / 1024 MB"), std::string::npos) << drawn;
    EXPECT_TRUE(drawn.ends_with("Copying [#########.....................] 30%\n")) << drawn;
}
