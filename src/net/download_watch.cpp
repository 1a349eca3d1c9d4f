#include "net/download_watch.h"

#include <algorithm>

#include "net/download_limits.h"

namespace {

using Seconds = std::chrono::duration<double>;

void KeepSample(DownloadWatch& watch, DownloadClock::time_point now) {
    if (watch.samples.empty() || now - watch.samples.back().first >= std::chrono::seconds(1))
        watch.samples.emplace_back(now, watch.received);
    // The newest sample at or before the window's start stays as its baseline.
    while (watch.samples.size() > 2 && watch.samples[1].first <= now - kTrickleWindow) watch.samples.pop_front();
}

bool FastEnough(const DownloadWatch& watch, DownloadClock::time_point now) {
    const auto& [since, receivedThen] = watch.samples.front();
    const double seconds = Seconds(now - since).count();
    const double bytes = static_cast<double>(watch.received - receivedThen);
    return seconds <= 0 || bytes >= seconds * static_cast<double>(kSlowestProgressPerSecond);
}

}  // namespace

DownloadWatch StartDownloadWatch(DownloadClock::time_point now) {
    DownloadWatch watch;
    watch.lastProgress = now;
    watch.samples.emplace_back(now, 0);
    return watch;
}

void NoteBytesStored(DownloadWatch& watch, DownloadClock::time_point now, std::uint64_t bytes) {
    if (bytes == 0) return;
    watch.received += bytes;
    if (FastEnough(watch, now)) {
        watch.lastProgress = now;
        watch.progressInAttempt = true;
    }
    KeepSample(watch, now);
}

void NoteAttemptEnded(DownloadWatch& watch) {
    watch.attemptsWithoutProgress = watch.progressInAttempt ? 0 : watch.attemptsWithoutProgress + 1;
    watch.progressInAttempt = false;
}

GiveUp ShouldGiveUp(const DownloadWatch& watch, DownloadClock::time_point now) {
    if (watch.attemptsWithoutProgress >= kAttemptsWithoutProgress) return GiveUp::TooManyAttempts;
    if (now - watch.lastProgress >= kLongestWithoutProgress) return GiveUp::TooLongWithoutProgress;
    if (watch.restarts > kRestartsFromZero) return GiveUp::TooManyRestarts;
    return GiveUp::No;
}

DownloadClock::duration RetryDelay(int failuresInRow, std::optional<std::chrono::seconds> retryAfter, double random01) {
    if (retryAfter) {
        // Never sooner than the server asked, but spread over a share more, so
        // that players refused in the same second do not all come back together.
        const auto asked = std::chrono::duration_cast<DownloadClock::duration>(*retryAfter);
        const auto spread = std::chrono::duration_cast<DownloadClock::duration>(asked * (kRetryJitter * random01));
        return std::clamp<DownloadClock::duration>(asked + spread, {}, kLongestRetryAfter);
    }
    const int doublings = std::clamp(failuresInRow - 1, 0, 8);
    const auto base = std::chrono::duration_cast<DownloadClock::duration>(kFirstRetryDelay) * (1 << doublings);
    const double factor = 1.0 + kRetryJitter * (2.0 * random01 - 1.0);
    return std::chrono::duration_cast<DownloadClock::duration>(base * factor);
}
