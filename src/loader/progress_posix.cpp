#include <condition_variable>
#include <deque>
#include <mutex>

#include "loader/progress.h"
#include "loader/terminal_front_end.h"

namespace {

std::mutex g_queueMutex;
std::condition_variable g_queueSignal;
std::deque<FrontEndEvent> g_queue;
std::atomic<bool> g_terminalDrawing{false};

}  // namespace

void EnableTerminalDrawing(bool drawing) { g_terminalDrawing.store(drawing); }

void QueueFrontEndEvent(FrontEndEvent event) {
    {
        std::lock_guard lock(g_queueMutex);
        g_queue.push_back(std::move(event));
    }
    g_queueSignal.notify_one();
}

bool TakeFrontEndEvent(FrontEndEvent& event, std::chrono::milliseconds timeout) {
    std::unique_lock lock(g_queueMutex);
    if (!g_queueSignal.wait_for(lock, timeout, [] { return !g_queue.empty(); })) return false;
    event = std::move(g_queue.front());
    g_queue.pop_front();
    return true;
}

void PostStatus(const std::wstring& text) {
    if (g_terminalDrawing.load()) QueueFrontEndEvent({FrontEndEvent::Kind::Status, text, 0});
}

void PostProgress(int percent) {
    if (g_terminalDrawing.load()) QueueFrontEndEvent({FrontEndEvent::Kind::Progress, {}, percent});
}

void PostWorkerDone() {
    if (g_terminalDrawing.load()) QueueFrontEndEvent({FrontEndEvent::Kind::WorkerDone, {}, 0});
}

void PostCloseRequest() { QueueFrontEndEvent({FrontEndEvent::Kind::Close, {}, 0}); }
