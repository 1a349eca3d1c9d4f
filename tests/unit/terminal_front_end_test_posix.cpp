#include <gtest/gtest.h>

#include "front_end_channel/event_queue.h"
#include "front_end_channel/progress.h"
#include "loader/terminal_front_end.h"
#include "worker/updater_worker.h"

TEST(TerminalFrontEnd, DrawsStatusAndClampedBar) {
    EXPECT_EQ(
        RenderProgressLine(L"Applying update...", 50, 80), "Applying update... [###############...............] 50%");
    EXPECT_EQ(RenderProgressLine(L"x", -5, 80), "x [..............................] 0%");
    EXPECT_EQ(RenderProgressLine(L"x", 101, 80), "x [##############################] 100%");
    EXPECT_EQ(RenderProgressLine(L"caf\u00e9", 0, 80).substr(0, 5), "caf\xC3\xA9") << "drawn as UTF-8";
    EXPECT_EQ(RenderProgressLine(L"a long status text", 100, 44), "a lon [##############################] 100%")
        << "the status is cut to fit the terminal";
    EXPECT_EQ(RenderProgressLine(L"Downloading", 30, 80, L"312 / 1024 MB"),
        "Downloading [#########.....................] 30% 312 / 1024 MB");
}

// What is posted while the terminal draws, and only that, is drawn; the amount
// stays until the next status.
TEST(TerminalFrontEnd, DrawsWhatIsPostedWhileDrawing) {
    FrontEndEvent event;
    while (TakeFrontEndEvent(event, std::chrono::milliseconds(0))) {}
    EnableTerminalDrawing(false);
    PostStatus(L"dropped");
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
    EXPECT_EQ(drawn.find("dropped"), std::string::npos) << drawn;
    EXPECT_NE(drawn.find("Downloading [#########.....................] 30% 312 / 1024 MB"), std::string::npos) << drawn;
    EXPECT_TRUE(drawn.ends_with("Copying [#########.....................] 30%\n")) << drawn;
}
