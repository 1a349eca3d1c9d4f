#pragma once
// The one retry policy of every download: the package, version.txt and the
// differential update's ranges. It says which failed attempts are tried
// again, how long to wait before the next one, when the download is given up,
// and it words each of these the same way in the log:
//   "<name>: <reason> at byte <N>; attempt <k> in <s> s"
//   "<name>: giving up at byte <N> after <what ran out> (<reason>)"
//   "<name> cannot be downloaded: <reason>"

#include <optional>
#include <string>

#include "net/download.h"

struct RetryPolicy {
    std::wstring name;  // the file, as the log names it
    DownloadWatch watch{};
    int attemptsOver = 0;
    // All attempts end by then; passing it gives OutOfTime, logged as a
    // give-up "after <deadlineText>" when that is not empty.
    DownloadClock::time_point deadline = DownloadClock::time_point::max();
    std::wstring deadlineText{};
    // False: a server that cannot be reached at all ends the download at once
    // (an offline player does not wait for version.txt's retries).
    bool retryUnreachable = true;
    // The server the next attempt asks, named at the end of the retry line
    // when the file has more than one.
    std::wstring nextFrom{};
};

RetryPolicy StartRetryPolicy(const std::wstring& name, const DownloadEnvironment& environment);

// Network failures and the statuses of an overloaded or failing server are
// worth another attempt; any other answer will not change.
bool Retryable(const RangeResult& result);

// What a failed attempt's result means to whoever publishes the files.
std::wstring RetryReason(const RangeResult& result);

enum class NextStep {
    Retry,      // waited the back-off: the next attempt may start
    Fail,       // the answer will not change: not retried, nothing logged
    GiveUp,     // too many attempts, too long without progress, the file changed too often: logged
    OutOfTime,  // the policy's deadline came first
};

// Called once per attempt, however it ended; before NextAfterFailure.
void NoteAttemptOver(RetryPolicy& policy);

// After an attempt that failed at byte `at`: decides, logs the retry or the
// give-up (with `giveUpNote` appended) and sleeps the back-off.
NextStep NextAfterFailure(RetryPolicy& policy, const RangeResult& result, std::uint64_t at,
    const DownloadEnvironment& environment, const std::wstring& giveUpNote = {});

// After an attempt that is followed at once (the answer made the download start
// again from byte 0): true, and the give-up logged, when the watch's rules end
// the download now.
bool GiveUpIfDue(
    RetryPolicy& policy, const RangeResult& result, std::uint64_t at, const DownloadEnvironment& environment);

// Bytes arrived in an attempt: progress, unless they trickle.
void NoteRetryProgress(RetryPolicy& policy, const DownloadEnvironment& environment, std::size_t bytes);

// True while the attempt under way may go on (the watch's rules and the deadline).
bool AttemptMayGoOn(const RetryPolicy& policy, const DownloadEnvironment& environment);

// "<name> cannot be downloaded: <reason>".
void LogCannotDownload(const std::wstring& name, const RangeResult& result);
