#pragma once
// When a download that keeps failing is retried, and when it is given up: the
// policy of the limits in download_limits.h, on whatever clock the caller has.

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

using DownloadClock = std::chrono::steady_clock;

struct DownloadWatch {
    DownloadClock::time_point lastProgress;
    std::uint64_t received = 0;  // body bytes stored since the watch started
    // (when, received), about one a second over the trickle window and one before it.
    std::deque<std::pair<DownloadClock::time_point, std::uint64_t>> samples;
    int attemptsWithoutProgress = 0;
    bool progressInAttempt = false;
    int restarts = 0;  // answers that made the download start again from byte 0
};

DownloadWatch StartDownloadWatch(DownloadClock::time_point now);

// Bytes stored. They are progress unless what arrived over the last minute
// (or since the start, if that is shorter) came slower than the trickle rate.
void NoteBytesStored(DownloadWatch& watch, DownloadClock::time_point now, std::uint64_t bytes);

// Called once per attempt, however it ended.
void NoteAttemptEnded(DownloadWatch& watch);

enum class GiveUp { No, TooManyAttempts, TooLongWithoutProgress, TooManyRestarts };
GiveUp ShouldGiveUp(const DownloadWatch& watch, DownloadClock::time_point now);

// The wait before the next attempt: the server's Retry-After lengthened by up
// to the jitter's share (capped), else the doubling delay for the failures in
// a row, varied by the jitter either way; random01 lies in [0, 1).
DownloadClock::duration RetryDelay(int failuresInRow, std::optional<std::chrono::seconds> retryAfter, double random01);
