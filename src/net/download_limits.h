#pragma once
// Every time and size limit of the downloads, in one place.

#include <chrono>
#include <cstddef>
#include <cstdint>

// One HTTP exchange. They equal WinHTTP's documented defaults on Windows, which
// Wine does not apply to the wait for response headers.
inline constexpr unsigned long kConnectTimeoutMs = 60000;
inline constexpr unsigned long kSendTimeoutMs = 30000;
inline constexpr unsigned long kReceiveTimeoutMs = 30000;          // no byte received for this long
inline constexpr unsigned long kReceiveResponseTimeoutMs = 90000;  // request sent, no response headers yet

// The body of an answer whose status is refused (a status page) is read and
// dropped unstored when it is no larger than this and arrives within this time
// (and the request's deadline), so that the exchange completes and its
// connection serves the next attempt; a larger or slower one ends the exchange,
// and with it the connection.
inline constexpr std::uint64_t kRefusedBodyLimit = 64 * 1024;
inline constexpr std::chrono::seconds kRefusedBodyTime{2};

// Longest host name and path that a URL may carry; longer ones are refused
// before any traffic.
inline constexpr std::size_t kMaxHostLength = 255;
inline constexpr std::size_t kMaxPathLength = 2047;

// Retries of a package download within one start. The wait before a retry
// doubles with each failed attempt in a row (1, 2, 4, 8 s), give or take the
// jitter, unless the server asked for a wait with Retry-After: that wait is
// lengthened by up to the jitter's share, never shortened.
inline constexpr std::chrono::milliseconds kFirstRetryDelay{1000};
inline constexpr double kRetryJitter = 0.25;  // share of the delay
inline constexpr std::chrono::seconds kLongestRetryAfter{30};
// A download is given up after this many attempts in a row without progress,
// or after this long without progress, whichever comes first.
inline constexpr int kAttemptsWithoutProgress = 5;
inline constexpr std::chrono::seconds kLongestWithoutProgress{120};
// Bytes that arrive slower than this over the last minute are no progress.
inline constexpr std::chrono::seconds kTrickleWindow{60};
inline constexpr std::uint64_t kSlowestProgressPerSecond = 1024;
// Answers that make the download start again from byte 0, per start: a server
// whose file keeps changing cannot hold the game back for ever.
inline constexpr int kRestartsFromZero = 3;

// version.txt: all attempts together end within this time, and a larger
// file is refused without being stored.
inline constexpr std::chrono::seconds kVersionFileDeadline{30};
inline constexpr std::uint64_t kVersionFileLimit = 64 * 1024;

// Each ranged read of the differential update ends within 30 s plus its size
// at 16 KiB/s (a 1 MiB span: 94 s), whatever the server trickles; a read that
// takes longer falls back to the whole package. The floor is far below any
// link a player downloads a game over, and keeps a server that sends a byte
// now and then from holding the start beyond the no-progress rule.
inline constexpr std::chrono::seconds kRangeReadBaseTime{30};
inline constexpr std::uint64_t kSlowestRangeRead = 16 * 1024;  // bytes per second
constexpr std::chrono::seconds RangeReadTime(std::uint64_t bytes) {
    return kRangeReadBaseTime + std::chrono::seconds(bytes / kSlowestRangeRead);
}

// The differential update reads the package's central directory into memory:
// a larger one is not read, and the whole package is downloaded instead.
inline constexpr std::uint64_t kRemoteDirectoryLimit = 32 * 1024 * 1024;
