#pragma once
// The progress bar between two of a stage's fixed values: the work that a long
// operation reports (base/work_progress.h) moves it in proportion, posted
// at most a few times a second, together with the amount for the terminal.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

enum class WorkUnit { Bytes, Entries, Files };

struct ProgressSpan {
    int from = 0;
    int to = 0;
    WorkUnit unit = WorkUnit::Bytes;
    std::uint64_t expectedTotal = 0;  // for operations that report no total of their own
    std::chrono::steady_clock::time_point lastPost{};
};

inline constexpr std::chrono::milliseconds kProgressPostInterval{250};

// The percentage to post for `done` of `total` (or of the expected total),
// within [from, to]; none while the last post is too recent or no total is known.
std::optional<int> SpanPercent(
    ProgressSpan& span, std::uint64_t done, std::uint64_t total, std::chrono::steady_clock::time_point now);

// "312 / 1024 MB", "120 / 5000 files"; bytes in KB below 10 MB.
std::wstring DescribeAmount(std::uint64_t done, std::uint64_t total, WorkUnit unit);

// From Begin to End, reported work is posted as progress (PostProgress) and
// amount (PostProgressAmount). Worker thread only.
void BeginProgressSpan(int from, int to, WorkUnit unit, std::uint64_t expectedTotal = 0);
void EndProgressSpan();
