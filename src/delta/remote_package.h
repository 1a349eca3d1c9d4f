#pragma once
// update.zip read by byte ranges: every answer must continue exactly what was
// asked for and come from the same file as the first answer (its ETag or
// Last-Modified sent back as If-Range). One retry policy (net/retry_policy.h)
// spans all the ranges, as for the package download; each read also has a
// deadline of its own, so that a trickle cannot hold the start: a read of N
// bytes ends within kRangeReadBaseTime plus N at kSlowestRangeRead.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "net/download.h"
#include "net/retry_policy.h"

struct RemotePackage {
    std::vector<std::wstring> urls;  // the package on each server, in order of preference
    std::size_t server = 0;          // the one the next request asks
    bool mixServers = false;         // ranges of one package may come from different servers
    std::wstring url;
    std::wstring name;       // for the log
    std::uint64_t size = 0;  // 0 until an answer or version.txt names it
    std::string validator;   // of the first answer
    const DownloadEnvironment* environment = nullptr;
    RetryPolicy retry;
    std::uint64_t requests = 0;
    std::uint64_t received = 0;  // body bytes accepted
};

// With several servers a failed attempt that is retried goes to the next one
// while no server has answered yet, and after that only when `mixServers`
// (every byte is checked against digests version.txt authenticates);
// otherwise the read falls back, and the whole package, which fails over by
// itself, is fetched.
RemotePackage StartRemotePackage(const std::vector<std::wstring>& urls, std::optional<std::uint64_t> size,
    const DownloadEnvironment& environment, bool mixServers = false);

enum class RemoteEnd {
    Complete,
    FallBack,  // the server or the file cannot give what the differential update needs
    SinkRefused,
    GaveUp,  // the network: too long or too many attempts without progress
};

struct RemoteRead {
    RemoteEnd end = RemoteEnd::Complete;
    std::wstring why;
};

// Bytes [from, to) of the package, in order, to the sink; a failed attempt is
// retried from the first byte not yet delivered. An answer that runs past its
// range, or a read that outlasts its deadline, falls back. `from` 0 with `to` 1 also
// learns the package's size.
RemoteRead ReadRemoteRange(RemotePackage& package, std::uint64_t from, std::uint64_t to, const RangeSink& sink);

// The package's size, asking for its first byte when nothing named it yet.
RemoteRead LearnRemoteSize(RemotePackage& package);
