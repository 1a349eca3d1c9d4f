// HttpGet over WinHTTP: one synchronous GET with the player's proxy settings,
// the secure flag for https, and the body read in 8192-byte chunks. The
// session lives as long as the thread, and the connection to the last host is
// kept between exchanges, so that WinHTTP's open connection, the proxy it
// found and its TLS session serve the next request. A watchdog closes the
// request at its deadline, whatever WinHTTP waits for then.

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cwchar>

#include "base/decimal.h"
#include "base/owned.h"
#include "base/text.h"
#include "net/download_limits.h"
#include "net/http_exchange.h"
#include "net/http_exchange_policy.h"
#include "net/update_server.h"

namespace {

struct InternetTraits {
    using Handle = HINTERNET;
    static HINTERNET None() { return nullptr; }
    static bool IsNone(HINTERNET handle) { return handle == nullptr; }
    static void Close(HINTERNET handle) { WinHttpCloseHandle(handle); }
};
using OwnedInternet = Owned<InternetTraits>;

// What this thread's exchanges keep open (http_exchange_policy.h).
struct KeptConnection {
    OwnedInternet session;
    std::wstring host;
    INTERNET_PORT port = 0;
    OwnedInternet connection;
};
thread_local KeptConnection g_kept;

struct UrlParts {
    wchar_t host[kMaxHostLength + 1] = {};
    wchar_t path[kMaxPathLength + 1] = {};
    INTERNET_PORT port = 0;
    bool https = false;
};

// Fails for a malformed URL and for a host or path too long for its buffer.
bool CrackUrl(const std::wstring& url, UrlParts& parts) {
    URL_COMPONENTS components{};
    components.dwStructSize = sizeof components;
    components.lpszHostName = parts.host;
    components.dwHostNameLength = static_cast<DWORD>(std::size(parts.host));
    components.lpszUrlPath = parts.path;
    components.dwUrlPathLength = static_cast<DWORD>(std::size(parts.path));
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &components)) return false;
    parts.port = components.nPort;
    parts.https = components.nScheme == INTERNET_SCHEME_HTTPS;
    return parts.host[0] != L'\0';
}

// A limit, shortened to the time left before the deadline.
DWORD Within(unsigned long limitMs, DownloadClock::time_point deadline) {
    if (deadline == DownloadClock::time_point::max()) return limitMs;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - DownloadClock::now()).count();
    return static_cast<DWORD>(std::clamp<long long>(left, 1, static_cast<long long>(limitMs)));
}

// WinHTTP's documented defaults, set explicitly on each request: Wine waits for
// response headers without any limit otherwise. Everything before the
// response's head also ends by the head deadline.
bool SetLimits(HINTERNET handle, const HttpRequest& wanted) {
    const auto head = std::min(wanted.deadline, wanted.headDeadline);
    DWORD receiveResponse = Within(kReceiveResponseTimeoutMs, head);
    const int resolve =
        head == DownloadClock::time_point::max() ? 0 : static_cast<int>(Within(kConnectTimeoutMs, head));
    // The TLS handshake waits with the receive timeout; each read of the body
    // sets its own (CopyBody).
    return WinHttpSetTimeouts(handle, resolve, static_cast<int>(Within(kConnectTimeoutMs, head)),
               static_cast<int>(Within(kSendTimeoutMs, head)), static_cast<int>(Within(kReceiveTimeoutMs, head))) &&
           WinHttpSetOption(handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &receiveResponse, sizeof receiveResponse);
}

std::wstring RequestHeaders(const HttpRequest& request) {
    std::wstring headers;
    if (!request.range.empty()) headers += L"Range: " + Utf8ToWide(request.range) + L"\r\n";
    if (!request.ifRange.empty()) headers += L"If-Range: " + Utf8ToWide(request.ifRange) + L"\r\n";
    return headers;
}

bool SendOnce(HINTERNET request, const std::wstring& headers) {
    return WinHttpSendRequest(request, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
               static_cast<DWORD>(headers.size()), WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
           WinHttpReceiveResponse(request, nullptr);
}

// Sent again, on the same handle, where WinHTTP asks for it and where the
// server only asks for a client certificate (then without one).
bool SendAndReceive(HINTERNET request, const std::wstring& headers) {
    Resends done;
    for (;;) {
        if (SendOnce(request, headers)) return true;
        const DWORD error = GetLastError();
        const Resend next = ResendAfter(error, done);
        if (next == Resend::No) {
            SetLastError(error);
            return false;
        }
        if (next == Resend::WithoutClientCertificate)
            WinHttpSetOption(request, WINHTTP_OPTION_CLIENT_CERT_CONTEXT, WINHTTP_NO_CLIENT_CERT_CONTEXT, 0);
    }
}

// Closes a request at its deadline from a thread of the system's pool: the
// timeouts WinHTTP takes bound each phase alone, and proxy discovery none.
struct Watchdog {
    HINTERNET request = nullptr;
    HANDLE timer = nullptr;
    std::atomic<bool> fired = false;
};

void CALLBACK OnDeadline(PVOID context, BOOLEAN) {
    auto* watchdog = static_cast<Watchdog*>(context);
    watchdog->fired = true;
    WinHttpCloseHandle(watchdog->request);
}

DWORD MillisecondsUntil(DownloadClock::time_point deadline) {
    if (deadline == DownloadClock::time_point::max()) return INFINITE;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - DownloadClock::now()).count();
    return static_cast<DWORD>(std::clamp<long long>(left, 0, INFINITE - 1));
}

bool ArmWatchdog(Watchdog& watchdog, HINTERNET request, DownloadClock::time_point deadline) {
    watchdog.request = request;
    return CreateTimerQueueTimer(
        &watchdog.timer, nullptr, &OnDeadline, &watchdog, MillisecondsUntil(deadline), 0, WT_EXECUTEONLYONCE);
}

void MoveWatchdog(Watchdog& watchdog, DownloadClock::time_point deadline) {
    ChangeTimerQueueTimer(nullptr, watchdog.timer, MillisecondsUntil(deadline), 0);
}

// Waits for a callback under way; true when the watchdog closed the request.
bool DisarmWatchdog(Watchdog& watchdog) {
    DeleteTimerQueueTimer(nullptr, watchdog.timer, INVALID_HANDLE_VALUE);
    return watchdog.fired;
}

std::string HeaderText(HINTERNET request, DWORD which) {
    wchar_t text[512] = {};
    DWORD size = sizeof text - sizeof(wchar_t);
    if (!WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, text, &size, WINHTTP_NO_HEADER_INDEX))
        return {};
    return WideToUtf8(text);
}

HttpHead ReadHead(HINTERNET request) {
    HttpHead head;
    DWORD status = 0;
    DWORD size = sizeof status;
    WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
        &status, &size, WINHTTP_NO_HEADER_INDEX);
    head.status = static_cast<long>(status);
    // Read as text: the number form holds only 32 bits and packages can be larger.
    std::uint64_t length = 0;
    if (ParseDecimal(HeaderText(request, WINHTTP_QUERY_CONTENT_LENGTH), length)) head.contentLength = length;
    head.contentRange = HeaderText(request, WINHTTP_QUERY_CONTENT_RANGE);
    head.etag = HeaderText(request, WINHTTP_QUERY_ETAG);
    head.lastModified = HeaderText(request, WINHTTP_QUERY_LAST_MODIFIED);
    head.retryAfter = HeaderText(request, WINHTTP_QUERY_RETRY_AFTER);
    return head;
}

// WinHTTP's errors in words a publisher can act on, and whether another try
// can help. (Wine reports an untrusted certificate and one for another host
// alike, as a secure channel error.)
struct ErrorMeaning {
    DWORD error;
    HttpEnd end;
    const wchar_t* words;
};
constexpr ErrorMeaning kErrorMeanings[] = {
    {ERROR_WINHTTP_INVALID_URL, HttpEnd::Refused, L"the address is not a usable URL"},
    {ERROR_WINHTTP_UNRECOGNIZED_SCHEME, HttpEnd::Refused, L"the address is neither http nor https"},
    {ERROR_WINHTTP_NAME_NOT_RESOLVED, HttpEnd::Unreachable, L"the server's name could not be resolved (DNS)"},
    {ERROR_WINHTTP_CANNOT_CONNECT, HttpEnd::Unreachable,
        L"the connection was refused or the server could not be reached"},
    {ERROR_WINHTTP_TIMEOUT, HttpEnd::Failed, L"no answer in time"},
    {WSAETIMEDOUT, HttpEnd::Failed, L"no answer in time"},
    {ERROR_WINHTTP_CONNECTION_ERROR, HttpEnd::Failed, L"the connection broke"},
    {WSAECONNRESET, HttpEnd::Failed, L"the connection was reset"},
    {ERROR_WINHTTP_INVALID_SERVER_RESPONSE, HttpEnd::Failed, L"the server's answer is not HTTP"},
    {ERROR_WINHTTP_REDIRECT_FAILED, HttpEnd::Refused,
        L"a redirect from https to http, or a redirect loop, was refused"},
    {ERROR_WINHTTP_SECURE_FAILURE, HttpEnd::Refused, L"the server's certificate was refused"},
    {ERROR_WINHTTP_SECURE_CHANNEL_ERROR, HttpEnd::Refused,
        L"the secure connection failed: the server's certificate is not trusted or not for this host name, or no TLS "
        L"version is shared"},
    {ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED, HttpEnd::Refused, L"the server demands a client certificate"},
    {ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT, HttpEnd::Failed, L"the proxy script (PAC) could not be downloaded"},
    {ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT, HttpEnd::Failed, L"the proxy script (PAC) failed"},
};

// What Windows says of a refused certificate (WINHTTP_CALLBACK_STATUS_SECURE_FAILURE).
const wchar_t* CertificateWords(DWORD flags) {
    if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID)
        return L"the server's certificate is not for this host name";
    if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID)
        return L"the server's certificate has expired or is not yet valid";
    if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED) return L"the server's certificate is revoked";
    if (flags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED)
        return L"the revocation of the server's certificate could not be checked";
    if (flags & (WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA | WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT))
        return L"the server's certificate is not trusted";
    return nullptr;
}

HttpOutcome FailureOf(DWORD error, DWORD certificateFlags = 0) {
    HttpOutcome outcome{HttpEnd::Failed, L"WinHTTP error"};
    for (const ErrorMeaning& meaning : kErrorMeanings)
        if (meaning.error == error) outcome = {meaning.end, meaning.words};
    if (error == ERROR_WINHTTP_SECURE_FAILURE && CertificateWords(certificateFlags) != nullptr)
        outcome.detail = CertificateWords(certificateFlags);
    outcome.detail += L" (error " + std::to_wstring(error) + L")";
    return outcome;
}

// Collects the certificate problems of a secure failure into the DWORD that
// the request's context value points to.
void CALLBACK OnSecureFailure(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information, DWORD) {
    if (status == WINHTTP_CALLBACK_STATUS_SECURE_FAILURE && context != 0 && information != nullptr)
        *reinterpret_cast<DWORD*>(context) |= *static_cast<const DWORD*>(information);
}

void WatchCertificate(HINTERNET request, DWORD& flags) {
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&flags);
    WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context);
    WinHttpSetStatusCallback(request, &OnSecureFailure, WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0);
}

// Where Windows tells (8.1 and later), the head of a proxy's answer to the
// tunnel: the proxy refused to connect to the server.
bool IsProxyRefusal(HINTERNET request) {
    BOOL fromProxy = FALSE;
    DWORD size = sizeof fromProxy;
    return WinHttpQueryOption(request, WINHTTP_OPTION_IS_PROXY_CONNECT_RESPONSE, &fromProxy, &size) && fromProxy;
}

// Copies the body until WinHTTP reports its end. A body that ends before its
// announced Content-Length also looks like a clean end (Wine), so the count is
// compared with it. A chunked body that is cut off cannot be told from a
// complete one here.
HttpOutcome CopyBody(HINTERNET request, const HttpRequest& wanted, const HttpHandlers& handlers,
    std::optional<std::uint64_t> announced) {
    char buffer[8192];
    std::uint64_t count = 0;
    for (;;) {
        if (!handlers.keepGoing()) return {HttpEnd::Stopped, L"stopped"};
        if (DownloadClock::now() >= wanted.deadline) return {HttpEnd::Failed, L"out of time"};
        DWORD receive = Within(kReceiveTimeoutMs, wanted.deadline);
        WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &receive, sizeof receive);
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) return FailureOf(GetLastError());
        if (available == 0) break;
        available = std::min<DWORD>(available, sizeof buffer);
        DWORD read = 0;
        if (!WinHttpReadData(request, buffer, available, &read)) return FailureOf(GetLastError());
        if (read == 0) break;
        count += read;
        if (!handlers.body(buffer, read)) return {HttpEnd::Stopped, L"stopped"};
    }
    if (announced && count != *announced) return {HttpEnd::Failed, L"the body ended early"};
    return {HttpEnd::Complete, {}};
}

// The exchange on a watched request: the head by the head deadline, the body
// by the overall one. `unanswered` gets the error of a request that got no
// answer at all.
HttpOutcome Exchange(
    HINTERNET request, Watchdog& watchdog, const HttpRequest& wanted, const HttpHandlers& handlers, DWORD& unanswered) {
    DWORD certificateFlags = 0;
    WatchCertificate(request, certificateFlags);
    if (!SendAndReceive(request, RequestHeaders(wanted))) {
        unanswered = GetLastError();
        return FailureOf(unanswered, certificateFlags);
    }
    MoveWatchdog(watchdog, wanted.deadline);
    if (watchdog.fired) return {HttpEnd::Failed, {}};  // the request is closed
    const HttpHead head = ReadHead(request);
    if (IsProxyRefusal(request))
        return {
            HttpEnd::Unreachable, L"the proxy refused the connection (status " + std::to_wstring(head.status) + L")"};
    if (!handlers.head(head)) return {HttpEnd::Stopped, L"stopped"};
    HttpHandlers watched = handlers;  // no call on the request once the watchdog has closed it
    watched.keepGoing = [&] { return !watchdog.fired && handlers.keepGoing(); };
    return CopyBody(request, wanted, watched, head.contentLength);
}

HttpOutcome FetchOverConnection(HINTERNET connection, const UrlParts& parts, const HttpRequest& wanted,
    const HttpHandlers& handlers, DWORD& unanswered) {
    OwnedInternet request(WinHttpOpenRequest(connection, L"GET", parts.path, nullptr, WINHTTP_NO_REFERER,
        WINHTTP_DEFAULT_ACCEPT_TYPES, parts.https ? WINHTTP_FLAG_SECURE : 0));
    if (!request) return FailureOf(GetLastError());
    if (!SetLimits(request.Get(), wanted)) return {HttpEnd::Failed, L"the HTTP client refused its limits"};
    Watchdog watchdog;
    if (!ArmWatchdog(watchdog, request.Get(), std::min(wanted.deadline, wanted.headDeadline)))
        return {HttpEnd::Failed, L"the deadline's watchdog could not be started"};
    const HttpOutcome outcome = Exchange(request.Get(), watchdog, wanted, handlers, unanswered);
    if (!DisarmWatchdog(watchdog)) return outcome;
    request.Release();  // closed by the watchdog
    unanswered = 0;
    return {HttpEnd::Failed, L"no answer by the deadline"};
}

// The player's proxy settings and PAC script apply where Windows offers the
// automatic type (8.1 and later); older ones refuse it and get the default type.
HINTERNET OpenSession() {
    const std::wstring userAgent = UpdaterUserAgent();
    HINTERNET session = WinHttpOpen(
        userAgent.c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (session != nullptr) return session;
    return WinHttpOpen(
        userAgent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
}

bool IsKeptFor(const UrlParts& parts) {
    return g_kept.connection && g_kept.host == parts.host && g_kept.port == parts.port;
}

void DropAfter(const HttpOutcome& outcome) {
    if (DroppedAfter(outcome.end) == Dropped::Connection) g_kept.connection.Reset();
}

// The kept connection when it is to the same host and port, else a new one.
bool ConnectTo(const UrlParts& parts) {
    if (!g_kept.session) g_kept.session.Reset(OpenSession());
    if (!g_kept.session) return false;
    if (IsKeptFor(parts)) return true;
    g_kept.connection.Reset(WinHttpConnect(g_kept.session.Get(), parts.host, parts.port, 0));
    g_kept.host = parts.host;
    g_kept.port = parts.port;
    return static_cast<bool>(g_kept.connection);
}

HttpOutcome Fetch(const UrlParts& parts, const HttpRequest& wanted, const HttpHandlers& handlers, DWORD& unanswered) {
    if (!ConnectTo(parts)) return FailureOf(GetLastError());
    return FetchOverConnection(g_kept.connection.Get(), parts, wanted, handlers, unanswered);
}

// What a server that closed a kept connection meanwhile makes of the next request.
bool IsClosedConnection(DWORD error) {
    return error == ERROR_WINHTTP_CONNECTION_ERROR || error == WSAECONNRESET ||
           error == ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
}

}  // namespace

HttpOutcome HttpGet(const HttpRequest& wanted, const HttpHandlers& handlers) {
    UrlParts parts;
    if (!CrackUrl(wanted.url, parts)) return {HttpEnd::Refused, L"unusable URL"};
    const bool reusing = IsKeptFor(parts);
    DWORD unanswered = 0;
    HttpOutcome outcome = Fetch(parts, wanted, handlers, unanswered);
    // An exchange that failed may leave its connection in any state; one that
    // a kept connection could not even send is tried once on a new one.
    DropAfter(outcome);
    if (reusing && IsClosedConnection(unanswered)) {
        unanswered = 0;
        outcome = Fetch(parts, wanted, handlers, unanswered);
        DropAfter(outcome);
    }
    return outcome;
}
