#include "net/retry_policy.h"

#include <cwchar>

#include "base/log.h"
#include "net/download_limits.h"

namespace {

std::wstring SecondsText(DownloadClock::duration duration) {
    wchar_t text[32];
    std::swprintf(text, 32, L"%.1f", std::chrono::duration<double>(duration).count());
    return text;
}

// What a status that will not change means to whoever publishes the files.
std::wstring StatusMeaning(long status) {
    switch (status) {
        case 401:
        case 403: return L" (access denied)";
        case 404:
        case 410: return L" (no such file on the server)";
        case 407: return L" (the proxy asks for credentials)";
        default: return {};
    }
}

std::wstring Describe(GiveUp why) {
    switch (why) {
        case GiveUp::TooManyAttempts: return std::to_wstring(kAttemptsWithoutProgress) + L" attempts without progress";
        case GiveUp::TooLongWithoutProgress:
            return L"no progress for " + std::to_wstring(kLongestWithoutProgress.count()) + L" s";
        case GiveUp::TooManyRestarts: return L"the file changed too often";
        case GiveUp::No: break;
    }
    return {};
}

void LogGiveUp(const RetryPolicy& policy, const std::wstring& after, const RangeResult& result, std::uint64_t at,
    const std::wstring& note) {
    const std::wstring last = result.end == RangeEnd::Stopped ? L"" : L" (" + RetryReason(result) + L")";
    LogLine(policy.name + L": giving up at byte " + std::to_wstring(at) + L" after " + after + last + note);
}

}  // namespace

RetryPolicy StartRetryPolicy(const std::wstring& name, const DownloadEnvironment& environment) {
    RetryPolicy policy;
    policy.name = name;
    policy.watch = StartDownloadWatch(environment.now());
    return policy;
}

bool Retryable(const RangeResult& result) {
    if (result.end == RangeEnd::Cut || result.end == RangeEnd::Stopped || result.end == RangeEnd::Unreachable)
        return true;
    if (result.end != RangeEnd::Refused) return false;
    return result.status == 408 || result.status == 429 || result.status >= 500;
}

std::wstring RetryReason(const RangeResult& result) {
    if (result.end == RangeEnd::Complete) return L"it could not be stored beside its destination";
    if (result.end != RangeEnd::Refused || result.status == 0) return result.detail;
    std::wstring reason = L"status " + std::to_wstring(result.status) + StatusMeaning(result.status);
    if (result.retryAfter) reason += L" (Retry-After " + std::to_wstring(result.retryAfter->count()) + L" s)";
    return reason;
}

void NoteAttemptOver(RetryPolicy& policy) {
    NoteAttemptEnded(policy.watch);
    ++policy.attemptsOver;
}

NextStep NextAfterFailure(RetryPolicy& policy, const RangeResult& result, std::uint64_t at,
    const DownloadEnvironment& environment, const std::wstring& giveUpNote) {
    if (!Retryable(result) || (result.end == RangeEnd::Unreachable && !policy.retryUnreachable)) return NextStep::Fail;
    const auto delay = RetryDelay(policy.watch.attemptsWithoutProgress, result.retryAfter, environment.random());
    const auto next = environment.now() + delay;
    if (const GiveUp why = ShouldGiveUp(policy.watch, next); why != GiveUp::No) {
        LogGiveUp(policy, Describe(why), result, at, giveUpNote);
        return NextStep::GiveUp;
    }
    if (next >= policy.deadline) {
        if (!policy.deadlineText.empty()) LogGiveUp(policy, policy.deadlineText, result, at, giveUpNote);
        return NextStep::OutOfTime;
    }
    LogLine(policy.name + L": " + RetryReason(result) + L" at byte " + std::to_wstring(at) + L"; attempt " +
            std::to_wstring(policy.attemptsOver + 1) + L" in " + SecondsText(delay) + L" s" +
            (policy.nextFrom.empty() ? L"" : L" from " + policy.nextFrom));
    environment.sleep(delay);
    return NextStep::Retry;
}

bool GiveUpIfDue(
    RetryPolicy& policy, const RangeResult& result, std::uint64_t at, const DownloadEnvironment& environment) {
    const GiveUp why = ShouldGiveUp(policy.watch, environment.now());
    if (why == GiveUp::No) return false;
    LogGiveUp(policy, Describe(why), result, at, {});
    return true;
}

void NoteRetryProgress(RetryPolicy& policy, const DownloadEnvironment& environment, std::size_t bytes) {
    NoteBytesStored(policy.watch, environment.now(), bytes);
}

bool AttemptMayGoOn(const RetryPolicy& policy, const DownloadEnvironment& environment) {
    const auto now = environment.now();
    return now < policy.deadline && ShouldGiveUp(policy.watch, now) == GiveUp::No;
}

void LogCannotDownload(const std::wstring& name, const RangeResult& result) {
    LogLine(name + L" cannot be downloaded: " + RetryReason(result));
}
