#include "delta/remote_package.h"

#include <cwchar>

#include "base/log.h"
#include "net/download_limits.h"

namespace {

std::wstring SecondsText(DownloadClock::duration duration) {
    wchar_t text[32];
    std::swprintf(text, 32, L"%.1f", std::chrono::duration<double>(duration).count());
    return text;
}

std::wstring Reason(const RangeResult& result) {
    if (result.end == RangeEnd::Refused && result.status != 0) return L"status " + std::to_wstring(result.status);
    return result.detail;
}

// The outcome of one attempt that did not complete: give up, fall back, or
// wait and try again (nullopt).
std::optional<RemoteRead> AfterFailedAttempt(
    RemotePackage& package, const RangeResult& result, bool noValidator, std::uint64_t at, std::uint64_t size) {
    if (noValidator) return RemoteRead{RemoteEnd::FallBack, L"the server names no ETag or Last-Modified"};
    if (result.end == RangeEnd::SinkRefused) return RemoteRead{RemoteEnd::SinkRefused, {}};
    if (!Retryable(result)) return RemoteRead{RemoteEnd::FallBack, Reason(result)};
    const DownloadEnvironment& environment = *package.environment;
    const auto delay = RetryDelay(package.watch.attemptsWithoutProgress, result.retryAfter, environment.random());
    if (environment.now() + delay >= package.deadline)
        return RemoteRead{RemoteEnd::FallBack, L"a range of " + std::to_wstring(size) + L" bytes took longer than " +
                                                   std::to_wstring(RangeReadTime(size).count()) + L" s"};
    if (ShouldGiveUp(package.watch, environment.now() + delay) != GiveUp::No) {
        LogLine(package.name + L": giving up the changed files at byte " + std::to_wstring(at) + L" (" +
                Reason(result) + L")");
        return RemoteRead{RemoteEnd::GaveUp, Reason(result)};
    }
    LogLine(package.name + L": " + Reason(result) + L" at byte " + std::to_wstring(at) + L"; trying again in " +
            SecondsText(delay) + L" s");
    environment.sleep(delay);
    return std::nullopt;
}

}  // namespace

RemotePackage StartRemotePackage(
    const std::wstring& url, std::optional<std::uint64_t> size, const DownloadEnvironment& environment) {
    RemotePackage package;
    package.url = url;
    package.name = url.substr(url.rfind(L'/') + 1);
    package.size = size.value_or(0);
    package.environment = &environment;
    package.watch = StartDownloadWatch(environment.now());
    return package;
}

RemoteRead ReadRemoteRange(RemotePackage& package, std::uint64_t from, std::uint64_t to, const RangeSink& sink) {
    const DownloadEnvironment& environment = *package.environment;
    package.deadline = environment.now() + RangeReadTime(to - from);
    std::uint64_t at = from;
    while (at < to) {
        RangeRequest request;
        request.url = package.url;
        request.from = at;
        request.to = to;
        request.validator = package.validator;
        request.deadline = package.deadline;
        if (package.size > 0) request.total = package.size;
        bool noValidator = false;
        RangeHooks hooks;
        hooks.start = [&](const RangeResult& answer) {
            noValidator = answer.validator.empty();
            return !noValidator;
        };
        hooks.body = [&](const char*, std::size_t size) {
            NoteBytesStored(package.watch, environment.now(), size);
            return true;
        };
        hooks.keepGoing = [&] {
            const auto now = environment.now();
            return now < package.deadline && ShouldGiveUp(package.watch, now) == GiveUp::No;
        };
        ++package.requests;
        const RangeResult result = FetchRange(request, sink, hooks, environment.get);
        NoteAttemptEnded(package.watch);
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
