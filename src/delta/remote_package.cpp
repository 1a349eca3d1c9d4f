#include "delta/remote_package.h"

#include "net/download_limits.h"
#include "net/update_server.h"

namespace {

// The outcome of one attempt that did not complete: fall back, give up, or
// wait and try again (nullopt).
std::optional<RemoteRead> AfterFailedAttempt(
    RemotePackage& package, const RangeResult& result, bool noValidator, std::uint64_t at, std::uint64_t size) {
    if (noValidator) return RemoteRead{RemoteEnd::FallBack, L"the server names no ETag or Last-Modified"};
    if (result.end == RangeEnd::SinkRefused) return RemoteRead{RemoteEnd::SinkRefused, {}};
    const bool several = package.urls.size() > 1;
    // Until a server has answered, any may; after that an unchecked release stays with it.
    if (several && !package.mixServers && !package.validator.empty() && Retryable(result))
        return RemoteRead{RemoteEnd::FallBack, RetryReason(result) + L" from " + ServerOf(package.url)};
    const std::size_t next = several ? (package.server + 1) % package.urls.size() : package.server;
    package.retry.nextFrom = several ? ServerOf(package.urls[next]) : L"";
    switch (NextAfterFailure(package.retry, result, at, *package.environment)) {
        case NextStep::Retry:
            if (next != package.server) {
                package.server = next;
                package.url = package.urls[next];
                package.validator.clear();  // the next answer's, since another server's proves nothing there
            }
            return std::nullopt;
        case NextStep::Fail: return RemoteRead{RemoteEnd::FallBack, RetryReason(result)};
        case NextStep::GiveUp: return RemoteRead{RemoteEnd::GaveUp, RetryReason(result)};
        case NextStep::OutOfTime: break;
    }
    return RemoteRead{RemoteEnd::FallBack, L"a range of " + std::to_wstring(size) + L" bytes took longer than " +
                                               std::to_wstring(RangeReadTime(size).count()) + L" s"};
}

}  // namespace

RemotePackage StartRemotePackage(const std::vector<std::wstring>& urls, std::optional<std::uint64_t> size,
    const DownloadEnvironment& environment, bool mixServers) {
    RemotePackage package;
    package.urls = urls;
    package.mixServers = mixServers;
    package.url = urls.empty() ? std::wstring() : urls.front();
    package.name = package.url.substr(package.url.rfind(L'/') + 1);
    package.size = size.value_or(0);
    package.environment = &environment;
    package.retry = StartRetryPolicy(package.name, environment);
    return package;
}

RemoteRead ReadRemoteRange(RemotePackage& package, std::uint64_t from, std::uint64_t to, const RangeSink& sink) {
    const DownloadEnvironment& environment = *package.environment;
    package.retry.deadline = environment.now() + RangeReadTime(to - from);
    std::uint64_t at = from;
    while (at < to) {
        RangeRequest request;
        request.url = package.url;
        request.from = at;
        request.to = to;
        request.validator = package.validator;
        request.deadline = package.retry.deadline;
        if (package.size > 0) request.total = package.size;
        bool noValidator = false;
        RangeHooks hooks;
        hooks.start = [&](const RangeResult& answer) {
            noValidator = answer.validator.empty();
            return !noValidator;
        };
        hooks.body = [&](const char*, std::size_t size) {
            NoteRetryProgress(package.retry, environment, size);
            return true;
        };
        hooks.keepGoing = [&] { return AttemptMayGoOn(package.retry, environment); };
        ++package.requests;
        const RangeResult result = FetchRange(request, sink, hooks, environment.get);
        NoteAttemptOver(package.retry);
        at += result.stored;
        package.received += result.stored;
        if (!noValidator && package.validator.empty() && !result.validator.empty()) {
            package.validator = result.validator;
            if (package.size == 0) package.size = result.total.value_or(0);
        }
        if (result.end == RangeEnd::Complete && at == to) break;
        if (result.end == RangeEnd::Complete) return {RemoteEnd::FallBack, L"an answer ended before its range"};
        if (auto read = AfterFailedAttempt(package, result, noValidator, at, to - from)) return *read;
    }
    return {};
}

RemoteRead LearnRemoteSize(RemotePackage& package) {
    if (package.size > 0) return {};
    RemoteRead read = ReadRemoteRange(package, 0, 1, [](const char*, std::size_t) { return true; });
    if (read.end == RemoteEnd::Complete && package.size == 0)
        return {RemoteEnd::FallBack, L"the server names no size for the package"};
    return read;
}
