#include "net/ranged_transfer.h"

#include <algorithm>
#include <fstream>
#include <system_error>

#include "base/decimal.h"
#include "base/file_system.h"
#include "base/long_path.h"
#include "base/text.h"
#include "net/download_limits.h"

namespace {

struct ContentRange {
    std::uint64_t first = 0, last = 0, total = 0;
};

// "bytes FIRST-LAST/TOTAL" with a known total.
bool ParseContentRange(std::string_view text, ContentRange& range) {
    if (text.rfind("bytes ", 0) != 0) return false;
    text.remove_prefix(6);
    const auto dash = text.find('-');
    const auto slash = text.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) return false;
    return ParseDecimal(text.substr(0, dash), range.first) &&
           ParseDecimal(text.substr(dash + 1, slash - dash - 1), range.last) &&
           ParseDecimal(text.substr(slash + 1), range.total) && range.first <= range.last && range.last < range.total;
}

// A weak ETag cannot be used with If-Range; the date then stands in for it.
std::string ValidatorOf(const HttpHead& head) {
    if (!head.etag.empty() && head.etag.rfind("W/", 0) != 0) return head.etag;
    return head.lastModified;
}

bool IsRanged(const RangeRequest& request) { return request.from > 0 || request.to.has_value(); }

std::string RangeHeader(const RangeRequest& request) {
    if (!IsRanged(request)) return {};
    std::string header = "bytes=" + std::to_string(request.from) + "-";
    if (request.to) header += std::to_string(*request.to - 1);
    return header;
}

std::optional<std::uint64_t> TotalOf(const HttpHead& head) {
    ContentRange range;
    if (head.status == 206 && ParseContentRange(head.contentRange, range)) return range.total;
    if (head.status == 200) return head.contentLength;
    return std::nullopt;
}

std::uint64_t StoredLimit(const RangeRequest& request) {
    return std::min(request.sizeLimit, request.declaredSize.value_or(UINT64_MAX));
}

std::wstring WrongSizeText(std::uint64_t declared, std::uint64_t named) {
    return L"size expected " + std::to_wstring(declared) + L", the server's file has " + std::to_wstring(named);
}

Verdict JudgePartial(const RangeRequest& request, const HttpHead& head, std::wstring& why) {
    ContentRange range;
    if (!ParseContentRange(head.contentRange, range)) {
        why = L"unreadable Content-Range \"" + Utf8ToWide(head.contentRange) + L"\"";
        return Verdict::Mismatch;
    }
    if (range.first != request.from) {
        why = L"Content-Range starts at byte " + std::to_wstring(range.first);
        return Verdict::Mismatch;
    }
    if (request.declaredSize && range.total != *request.declaredSize) {
        why = WrongSizeText(*request.declaredSize, range.total);
        return Verdict::WrongSize;
    }
    if (request.total && range.total != *request.total) {
        why = L"Content-Range names a size of " + std::to_wstring(range.total) + L" bytes, not " +
              std::to_wstring(*request.total);
        return Verdict::Mismatch;
    }
    if (range.last + 1 != (request.to ? *request.to : range.total)) {
        why = L"Content-Range ends at byte " + std::to_wstring(range.last);
        return Verdict::Mismatch;
    }
    const std::string validator = ValidatorOf(head);
    if (!request.validator.empty() && !validator.empty() && validator != request.validator) {
        why = L"the file changed on the server (validator " + Utf8ToWide(validator) + L")";
        return Verdict::Mismatch;
    }
    if (range.total > StoredLimit(request)) {
        why = L"larger than " + std::to_wstring(StoredLimit(request)) + L" bytes";
        return Verdict::TooLarge;
    }
    return Verdict::Continue;
}

bool OpenAt(const std::filesystem::path& file, std::uint64_t offset, std::ofstream& out) {
    if (offset == 0) {
        out.open(LongPath(file), std::ios::binary | std::ios::trunc);
        return out.is_open();
    }
    std::error_code ec;
    if (FileSize(file, ec) < offset || ec) return false;
    ResizeFile(file, offset, ec);
    if (ec) return false;
    out.open(LongPath(file), std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(offset));
    return out.is_open() && out.good();
}

RangeEnd EndOfVerdict(Verdict verdict) {
    switch (verdict) {
        case Verdict::Mismatch: return RangeEnd::Mismatch;
        case Verdict::TooLarge: return RangeEnd::TooLarge;
        case Verdict::WrongSize: return RangeEnd::WrongSize;
        default: return RangeEnd::Refused;
    }
}

// Where the accepted bytes go: made ready at the offset where they begin, then
// given them in order, then closed; each false ends the transfer with `failure`.
struct Target {
    std::function<bool(std::uint64_t from)> open;
    RangeSink write;
    std::function<bool()> close;
    RangeEnd failure;
};

Target FileTarget(const std::filesystem::path& file, std::ofstream& out) {
    return {[&file, &out](std::uint64_t from) { return OpenAt(file, from, out); },
        [&out](const char* data, std::size_t size) {
            out.write(data, static_cast<std::streamsize>(size));
            return static_cast<bool>(out);
        },
        [&out] {
            if (!out.is_open()) return true;
            out.close();
            return static_cast<bool>(out);
        },
        RangeEnd::FileError};
}

Target SinkTarget(const RangeSink& sink) {
    return {[](std::uint64_t) { return true; }, sink, [] { return true; }, RangeEnd::SinkRefused};
}

// Where a transfer stands while the exchange runs.
struct Transfer {
    const RangeRequest& request;
    const RangeHooks& hooks;
    const Target& target;
    RangeResult result;
    std::optional<RangeEnd> endedBy;   // set when the transfer itself ended the exchange
    std::optional<std::uint64_t> end;  // one past the last byte the answer promises
    // Set while the body of a refused status page is read and dropped.
    std::optional<DownloadClock::time_point> drainUntil;
    std::uint64_t drained = 0;
};

// A status page (neither 200 nor 206) small enough by its length is read to its
// end unstored, so that the exchange completes and keeps its connection.
bool StartDraining(Transfer& transfer, const HttpHead& head) {
    if (head.status == 200 || head.status == 206 || head.contentLength.value_or(0) > kRefusedBodyLimit) return false;
    transfer.drainUntil = std::min(transfer.request.deadline, DownloadClock::now() + kRefusedBodyTime);
    return true;
}

bool DrainMayGoOn(const Transfer& transfer) {
    return transfer.drained <= kRefusedBodyLimit && DownloadClock::now() < *transfer.drainUntil;
}

bool OnHead(Transfer& transfer, const HttpHead& head) {
    RangeResult& result = transfer.result;
    result.status = head.status;
    if (head.status == 503 || head.status == 429) result.retryAfter = ParseRetryAfter(head.retryAfter);
    // Only an answer with the file's bytes names its version: a 503's ETag is
    // its status page's, and would tie later ranges to the failing server.
    if (head.status == 200 || head.status == 206) result.validator = ValidatorOf(head);
    result.total = TotalOf(head);
    const Verdict verdict = JudgeResponse(transfer.request, head, result.detail);
    if (verdict != Verdict::Continue && verdict != Verdict::StoreWhole) {
        transfer.endedBy = EndOfVerdict(verdict);
        return StartDraining(transfer, head);
    }
    if (verdict == Verdict::StoreWhole) result.from = 0;
    transfer.end =
        head.status == 206 ? std::optional(transfer.request.to.value_or(result.total.value_or(0))) : head.contentLength;
    if (!transfer.target.open(result.from)) {
        transfer.endedBy = transfer.target.failure;
        return false;
    }
    if (transfer.hooks.start(result)) return true;
    transfer.endedBy = RangeEnd::Stopped;
    return false;
}

bool OnBody(Transfer& transfer, const char* data, std::size_t size) {
    if (transfer.drainUntil) {
        transfer.drained += size;
        return DrainMayGoOn(transfer);
    }
    RangeResult& result = transfer.result;
    // Nothing of a piece that crosses the promised end is taken: what was
    // stored before it still continues the file exactly.
    if (transfer.end && result.from + result.stored + size > *transfer.end) {
        transfer.endedBy = RangeEnd::Overlong;
        result.detail = L"the answer goes on past byte " + std::to_wstring(*transfer.end - 1) + L", where it ends";
        return false;
    }
    const std::uint64_t limit = StoredLimit(transfer.request);
    if (result.from + result.stored + size > limit) {  // a body without a length
        transfer.endedBy = RangeEnd::TooLarge;
        result.detail = L"larger than " + std::to_wstring(limit) + L" bytes";
        return false;
    }
    if (!transfer.target.write(data, size)) {
        transfer.endedBy = transfer.target.failure;
        return false;
    }
    result.stored += size;
    if (transfer.hooks.body(data, size)) return true;
    transfer.endedBy = RangeEnd::Stopped;
    return false;
}

RangeEnd EndOfExchange(const Transfer& transfer, const HttpOutcome& outcome) {
    if (transfer.endedBy) return *transfer.endedBy;
    switch (outcome.end) {
        case HttpEnd::Complete: {
            const std::uint64_t reached = transfer.result.from + transfer.result.stored;
            if (transfer.result.status == 0 || (transfer.end && reached != *transfer.end)) return RangeEnd::Cut;
            return RangeEnd::Complete;
        }
        case HttpEnd::Refused: return RangeEnd::Refused;
        case HttpEnd::Unreachable: return RangeEnd::Unreachable;
        case HttpEnd::Stopped: return RangeEnd::Stopped;
        case HttpEnd::Failed: break;
    }
    return RangeEnd::Cut;
}

}  // namespace

Verdict JudgeResponse(const RangeRequest& request, const HttpHead& head, std::wstring& why) {
    const bool ranged = IsRanged(request);
    if (head.status == 206 && ranged) return JudgePartial(request, head, why);
    if (head.status == 416 && ranged) {
        why = L"the server cannot serve byte " + std::to_wstring(request.from) + L" (416)";
        return Verdict::Mismatch;
    }
    if (head.status != 200) {
        why = L"status " + std::to_wstring(head.status);
        return Verdict::Refuse;
    }
    if (ranged && !request.wholeBodyRestarts) {
        why = L"the server sent the whole file (200 instead of 206)";
        return Verdict::Mismatch;
    }
    if (head.contentLength && request.declaredSize && *head.contentLength != *request.declaredSize) {
        why = WrongSizeText(*request.declaredSize, *head.contentLength);
        return Verdict::WrongSize;
    }
    if (head.contentLength && *head.contentLength > StoredLimit(request)) {
        why = L"larger than " + std::to_wstring(StoredLimit(request)) + L" bytes";
        return Verdict::TooLarge;
    }
    if (ranged) why = L"the server sent the whole file (200 instead of 206)";
    return Verdict::StoreWhole;
}

std::optional<std::chrono::seconds> ParseRetryAfter(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    const auto last = text.find_last_not_of(" \t");
    std::uint64_t seconds = 0;
    if (first == std::string::npos || !ParseDecimal(std::string_view(text).substr(first, last - first + 1), seconds))
        return std::nullopt;
    return std::chrono::seconds(std::min<std::uint64_t>(seconds, 24 * 3600));
}

namespace {

RangeResult Fetch(
    const RangeRequest& request, const Target& target, const RangeHooks& hooks, const HttpGetFunction& get) {
    Transfer transfer{request, hooks, target, {}, {}, {}, {}, 0};
    transfer.result.from = request.from;
    HttpRequest http{request.url, RangeHeader(request), IsRanged(request) ? request.validator : std::string(),
        request.deadline, request.headDeadline};
    HttpHandlers handlers;
    handlers.head = [&](const HttpHead& head) { return OnHead(transfer, head); };
    handlers.body = [&](const char* data, std::size_t size) { return OnBody(transfer, data, size); };
    handlers.keepGoing = [&] { return (!transfer.drainUntil || DrainMayGoOn(transfer)) && hooks.keepGoing(); };
    const HttpOutcome outcome = get(http, handlers);
    if (!target.close() && !transfer.endedBy) transfer.endedBy = target.failure;
    transfer.result.end = EndOfExchange(transfer, outcome);
    if (transfer.endedBy == RangeEnd::FileError) transfer.result.detail = L"the file could not be written";
    if (!transfer.endedBy && transfer.result.end != RangeEnd::Complete)
        transfer.result.detail = outcome.detail.empty() ? L"the body ended early" : outcome.detail;
    return transfer.result;
}

}  // namespace

RangeResult FetchRange(const RangeRequest& request, const std::filesystem::path& file, const RangeHooks& hooks,
    const HttpGetFunction& get) {
    std::ofstream out;
    return Fetch(request, FileTarget(file, out), hooks, get);
}

RangeResult FetchRange(
    const RangeRequest& request, const RangeSink& sink, const RangeHooks& hooks, const HttpGetFunction& get) {
    return Fetch(request, SinkTarget(sink), hooks, get);
}
