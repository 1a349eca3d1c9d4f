#include "front_end_channel/progress.h"

#include "front_end_channel/event_queue.h"

void PostStatus(const std::wstring& text) {
    if (TerminalDrawingEnabled()) QueueFrontEndEvent({FrontEndEvent::Kind::Status, text, 0});
}

void PostProgress(int percent) {
    if (TerminalDrawingEnabled()) QueueFrontEndEvent({FrontEndEvent::Kind::Progress, {}, percent});
}

void PostProgressAmount(const std::wstring& amount) {
    if (TerminalDrawingEnabled()) QueueFrontEndEvent({FrontEndEvent::Kind::Amount, amount, 0});
}

void PostWorkerDone() {
    if (TerminalDrawingEnabled()) QueueFrontEndEvent({FrontEndEvent::Kind::WorkerDone, {}, 0});
}

void PostCloseRequest() { QueueFrontEndEvent({FrontEndEvent::Kind::Close, {}, 0}); }
