#include "worker/progress_span.h"

#include "base/work_progress.h"
#include "front_end_channel/progress.h"

std::optional<int> SpanPercent(
    ProgressSpan& span, std::uint64_t done, std::uint64_t total, std::chrono::steady_clock::time_point now) {
    if (total == 0) total = span.expectedTotal;
    if (total == 0 || now - span.lastPost < kProgressPostInterval) return std::nullopt;
    span.lastPost = now;
    const double share = done >= total ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
    return span.from + static_cast<int>(share * (span.to - span.from));
}

std::wstring DescribeAmount(std::uint64_t done, std::uint64_t total, WorkUnit unit) {
    const wchar_t* name = unit == WorkUnit::Files ? L" files" : L" entries";
    std::uint64_t scale = 1;
    if (unit == WorkUnit::Bytes) {
        const bool large = (total != 0 ? total : done) >= 10 * 1024 * 1024;
        scale = large ? 1024 * 1024 : 1024;
        name = large ? L" MB" : L" KB";
    }
    std::wstring text = std::to_wstring(done / scale);
    if (total != 0) text += L" / " + std::to_wstring(total / scale);
    return text + name;
}

void BeginProgressSpan(ProgressRange range, WorkUnit unit, std::uint64_t expectedTotal) {
    ProgressSpan span{range.from, range.to, unit, expectedTotal, std::chrono::steady_clock::now()};
    WatchWork([span](std::uint64_t done, std::uint64_t total) mutable {
        if (auto percent = SpanPercent(span, done, total, std::chrono::steady_clock::now())) {
            PostProgress(*percent);
            PostProgressAmount(DescribeAmount(done, total != 0 ? total : span.expectedTotal, span.unit));
        }
    });
}

void EndProgressSpan() { WatchWork({}); }
