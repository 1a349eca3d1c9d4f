#pragma once
// The platform half of every download: one HTTP GET, with redirects followed
// as WinHTTP follows them, whose final response is handed over piece by piece.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "net/download_watch.h"

struct HttpRequest {
    std::wstring url{};
    std::string range{};    // value of a Range header ("bytes=N-"); empty: none
    std::string ifRange{};  // value of an If-Range header; empty: none
    // The exchange fails once this moment has passed, whatever it waits for.
    DownloadClock::time_point deadline = DownloadClock::time_point::max();
    // The exchange fails when no response head has arrived by then, also where
    // the wait for it asks keepGoing nothing (WinHTTP's).
    DownloadClock::time_point headDeadline = DownloadClock::time_point::max();
};

// The final response's status and the headers the downloads judge it by;
// absent headers are empty.
struct HttpHead {
    long status = 0;
    std::optional<std::uint64_t> contentLength{};
    std::string contentRange{};
    std::string etag{};
    std::string lastModified{};
    std::string retryAfter{};
};

// Each handler returns false to end the exchange at once.
struct HttpHandlers {
    // Once per exchange that gets a final response, before its first body byte.
    std::function<bool(const HttpHead&)> head;
    std::function<bool(const char* data, std::size_t size)> body;
    // Asked about once a second while the exchange waits, and between reads.
    std::function<bool()> keepGoing;
};

enum class HttpEnd {
    Complete,     // the final response arrived whole
    Failed,       // the network let it down (no answer, cut, timed out): worth another try
    Unreachable,  // the host name did not resolve or the connection was refused
    Refused,      // it cannot work: unusable URL, certificate, redirect the client may not follow
    Stopped,      // a handler ended it
};

struct HttpOutcome {
    HttpEnd end = HttpEnd::Failed;
    std::wstring detail{};  // what went wrong, for the log
};

// Longest host name and path, and the time limits: download_limits.h.
HttpOutcome HttpGet(const HttpRequest& request, const HttpHandlers& handlers);
