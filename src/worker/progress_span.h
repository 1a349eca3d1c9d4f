#pragma once
// The progress bar: where it stands at each step of an update pass (one table
// for every stage), and between two of those places the work that a long
// operation reports (base/work_progress.h) moving it in proportion, posted at
// most a few times a second, together with the amount for the terminal.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

// From where to where the bar moves while an operation reports its work.
struct ProgressRange {
    int from = 0;
    int to = 0;
};

// The bar's places, in percent, in the order an update pass reaches them.
inline constexpr int kLocalVersionPercent = 2;                // "Checking local versions..."
inline constexpr int kRemoteVersionPercent = 6;               // "Downloading remote versions..."
inline constexpr int kNoUpdatePercent = 30;                   // no update needed, or none could be checked
inline constexpr int kPackageStartPercent = 15;               // "Update available. ..."
inline constexpr ProgressRange kComparisonSpan{15, 25};       // installed files compared with the directory
inline constexpr ProgressRange kChangedEntriesSpan{25, 35};   // the changed entries fetched
inline constexpr ProgressRange kPackageDownloadSpan{15, 35};  // the whole package, unpacked as it arrives
inline constexpr int kDownloadFailedPercent = 20;
inline constexpr ProgressRange kExtractionSpan{35, 50};
inline constexpr int kExtractFailedPercent = 30;
inline constexpr int kApplyPercent = 50;           // "Applying update..."
inline constexpr int kNothingAppliedPercent = 40;  // an empty or refused package
inline constexpr ProgressRange kDeleteSpan{55, 70};
inline constexpr int kDeleteSkippedPercent = 58;
inline constexpr ProgressRange kCopySpan{70, 90};
inline constexpr int kCleanupPercent = 90;  // "Final cleanup..."
inline constexpr int kAppliedPercent = 95;  // "Update applied successfully."
inline constexpr int kMapsPercent = 96;     // "Preparing maps & data..."
inline constexpr ProgressRange kMapsDownloadSpan{96, 98};
inline constexpr ProgressRange kMapsExtractionSpan{98, 99};
inline constexpr int kLaunchPercent = 100;  // "Launching game..."

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
void BeginProgressSpan(ProgressRange range, WorkUnit unit, std::uint64_t expectedTotal = 0);
void EndProgressSpan();
