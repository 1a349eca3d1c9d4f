#pragma once
// The one ranged transfer that every download is built on: bytes [from, to)
// of a URL written into a file at the same offsets, or handed to a sink,
// accepted only when the server's answer continues exactly what was asked for
// (Content-Range, total size, validator). Nothing foreign is ever spliced onto
// bytes already there.
//
// The way a byte takes from the network to an installed file, in order:
//  1. The HTTP half (HttpGet: http_exchange_posix.cpp over libcurl,
//     http_exchange_win32.cpp over WinHTTP) hands over the final response's
//     head, then its body piece by piece; it knows nothing of ranges.
//  2. The ranged transfer (here) judges the head against the request
//     (JudgeResponse) and bounds the body: never past the end its
//     Content-Range and the request promise (Overlong), never over the size
//     limit or version.txt's declared size (TooLarge), never after the
//     request's deadline. A refused status page's small body is read and
//     dropped, so that its connection serves the next attempt. Above it, the
//     retry policy (retry_policy.h) decides whether a failed attempt is tried
//     again.
//  3. The accepted bytes go to a file at their offsets (the package's
//     update.zip.part, version.txt's part) or to a sink.
//  4. From the file's writer the package download (download.h) shows each
//     stored piece to the package stream (zip/package_stream), which unpacks
//     as the package arrives; the differential update's sink
//     (delta/differential_update) feeds the fetched spans of changed entries.
//  5. Both hand the bytes to the one entry stream (zip/entry_stream), which
//     opens each entry's file, checks and bounds what it writes, and passes
//     small entries to the pool and larger ones to the decoder
//     (zip/entry_pool, zip/entry_decoder).

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "net/http_exchange.h"

struct RangeRequest {
    std::wstring url{};
    std::uint64_t from = 0;                // 0: the whole body, asked for with a plain GET
    std::optional<std::uint64_t> to{};     // one past the last byte wanted; none: to the end
    std::string validator{};               // ETag or Last-Modified of what `file` holds, sent as If-Range
    std::optional<std::uint64_t> total{};  // the size the resource must still have
    // The size version.txt names: an answer that names another size is refused
    // (WrongSize) and no more than this is ever stored, whatever the body's length.
    std::optional<std::uint64_t> declaredSize{};
    bool wholeBodyRestarts = false;        // a 200 to a ranged request is stored from byte 0 instead of refused
    std::uint64_t sizeLimit = UINT64_MAX;  // a larger resource is refused before a byte is stored
    DownloadClock::time_point deadline = DownloadClock::time_point::max();
    // The exchange ends when no response head has arrived by then.
    DownloadClock::time_point headDeadline = DownloadClock::time_point::max();
};

enum class RangeEnd {
    Complete,     // everything asked for is in the file (or went to the sink)
    Cut,          // the network ended it early; what arrived is in the file (or went to the sink)
    Unreachable,  // no server at that name, or it refused the connection
    Refused,      // a status other than the one asked for (see status), or a certificate or redirect refused
    Mismatch,     // the answer does not continue the file: nothing was stored
    TooLarge,     // over sizeLimit or the declared size: nothing more was stored
    Overlong,     // the body went on past the end it promised: nothing of the piece that crossed it was stored
    WrongSize,    // the answer names another size than the declared one: nothing was stored
    FileError,    // the file could not be written
    SinkRefused,  // the sink returned false: nothing more was asked for
    Stopped,      // a hook ended it
};

struct RangeResult {
    RangeEnd end = RangeEnd::Cut;
    long status = 0;
    std::optional<std::chrono::seconds> retryAfter{};  // from a 503 or 429
    std::uint64_t from = 0;                // where the stored bytes begin: the request's from, or 0 for a whole body
    std::uint64_t stored = 0;              // bytes written by this transfer
    std::optional<std::uint64_t> total{};  // the resource's size, as the answer gives it
    // The answer's strong ETag, else its Last-Modified; empty when it has
    // neither, and then nothing proves that two answers are of one file.
    std::string validator{};
    std::wstring detail{};  // why it ended short, for the log
};

struct RangeHooks {
    // The answer is accepted and the file is ready at result.from (truncated
    // there); false ends the transfer before a byte is written.
    std::function<bool(const RangeResult&)> start = [](const RangeResult&) { return true; };
    // Bytes just written.
    std::function<bool(const char* data, std::size_t size)> body = [](const char*, std::size_t) { return true; };
    std::function<bool()> keepGoing = [] { return true; };
};

// How an answer fits the request.
enum class Verdict { Continue, StoreWhole, Mismatch, Refuse, TooLarge, WrongSize };
Verdict JudgeResponse(const RangeRequest& request, const HttpHead& head, std::wstring& why);

// Retry-After as delta seconds; an HTTP date or anything else gives none.
std::optional<std::chrono::seconds> ParseRetryAfter(const std::string& text);

using HttpGetFunction = std::function<HttpOutcome(const HttpRequest&, const HttpHandlers&)>;

// The transfer over the given HTTP exchange (HttpGet in the program). The
// file is created when missing; bytes past `from` are cut off before new ones
// are written.
RangeResult FetchRange(const RangeRequest& request, const std::filesystem::path& file, const RangeHooks& hooks,
    const HttpGetFunction& get = HttpGet);

// Receives a transfer's accepted bytes in order, the first being byte
// RangeResult::from of the resource; false ends the transfer (SinkRefused).
using RangeSink = std::function<bool(const char* data, std::size_t size)>;

// The same transfer, judged the same way, with the accepted bytes handed to
// the sink instead of a file: many ranges of one file, each asked with If-Range
// and the first answer's validator, so that all of them come from one version.
RangeResult FetchRange(
    const RangeRequest& request, const RangeSink& sink, const RangeHooks& hooks, const HttpGetFunction& get = HttpGet);
