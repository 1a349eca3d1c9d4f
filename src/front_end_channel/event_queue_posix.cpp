#include "front_end_channel/event_queue.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace {

struct FrontEndQueue {
    std::mutex mutex;
    std::condition_variable signal;
    std::deque<FrontEndEvent> events;
};

// Never destroyed: the detached worker may still post while the process ends.
FrontEndQueue& Queue() {
    static auto* queue = new FrontEndQueue;
    return *queue;
}

std::atomic<bool> g_terminalDrawing{false};

}  // namespace

void EnableTerminalDrawing(bool drawing) { g_terminalDrawing.store(drawing); }

bool TerminalDrawingEnabled() { return g_terminalDrawing.load(); }

void QueueFrontEndEvent(FrontEndEvent event) {
    FrontEndQueue& queue = Queue();
    {
        std::lock_guard lock(queue.mutex);
        queue.events.push_back(std::move(event));
    }
    queue.signal.notify_one();
}

bool TakeFrontEndEvent(FrontEndEvent& event, std::chrono::milliseconds timeout) {
    FrontEndQueue& queue = Queue();
    std::unique_lock lock(queue.mutex);
    if (!queue.signal.wait_for(lock, timeout, [&] { return !queue.events.empty(); })) return false;
    event = std::move(queue.events.front());
    queue.events.pop_front();
    return true;
}
