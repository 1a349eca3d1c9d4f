// HttpGet over libcurl: the system CA store with peer and host name checks,
// WinHTTP's default limits and redirect rules, and the final response's head
// taken from its own header lines. One easy handle per thread is kept between
// exchanges, so that its open connection, TLS session and loaded CA store
// serve the next request.

#include <curl/curl.h>
#include <openssl/x509_vfy.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "base/decimal.h"
#include "base/owned.h"
#include "base/text.h"
#include "net/download_limits.h"
#include "net/http_exchange.h"
#include "net/update_server.h"

namespace {

using Clock = DownloadClock;

struct CurlTraits {
    using Handle = CURL*;
    static CURL* None() { return nullptr; }
    static bool IsNone(CURL* curl) { return curl == nullptr; }
    static void Close(CURL* curl) { curl_easy_cleanup(curl); }
};
struct HeaderListTraits {
    using Handle = curl_slist*;
    static curl_slist* None() { return nullptr; }
    static bool IsNone(curl_slist* list) { return list == nullptr; }
    static void Close(curl_slist* list) { curl_slist_free_all(list); }
};

// The handle of this thread's last exchange that ended complete, its options
// reset; libcurl itself opens a new connection when the server has closed the
// kept one.
thread_local Owned<CurlTraits> g_keptHandle;

bool InitCurlOnce() {
    static std::once_flag once;
    static bool initialised = false;
    std::call_once(once, [] { initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    return initialised;
}

struct ParsedUrl {
    std::string url;  // as curl re-assembled it
    bool https = false;
};

// Accepts absolute http and https URLs whose host and path fit WinHTTP's limits.
bool ParseUrl(const std::wstring& wideUrl, ParsedUrl& parsed) {
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> handle(curl_url(), &curl_url_cleanup);
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, WideToUtf8(wideUrl).c_str(), 0) != CURLUE_OK) return false;
    auto part = [&](CURLUPart which, std::string& out) {
        char* text = nullptr;
        if (curl_url_get(handle.get(), which, &text, 0) != CURLUE_OK) return false;
        out = text;
        curl_free(text);
        return true;
    };
    std::string scheme, host, path, url;
    if (!part(CURLUPART_SCHEME, scheme) || !part(CURLUPART_HOST, host) || !part(CURLUPART_PATH, path) ||
        !part(CURLUPART_URL, url))
        return false;
    if (scheme != "https" && scheme != "http") return false;
    if (host.empty() || host.size() > kMaxHostLength || path.size() > kMaxPathLength) return false;
    parsed.url = url;
    parsed.https = scheme == "https";
    return true;
}

// Where the exchange stands, for the limits that libcurl has no option for: the
// wait for response headers after the request went out, and the longest silence
// once the response has begun.
enum class Phase { Connecting, AwaitingResponse, Receiving };

struct Exchange {
    CURL* curl = nullptr;
    const HttpRequest* request = nullptr;
    const HttpHandlers* handlers = nullptr;
    HttpHead head;  // of the response whose header lines are arriving
    bool headDelivered = false;
    bool stoppedByHandler = false;
    bool pastDeadline = false;
    Phase phase = Phase::Connecting;
    Clock::time_point phaseMark = Clock::now();
    char account[CURL_ERROR_SIZE] = {};  // libcurl's words for a failure
};

void NoteActivity(Exchange& exchange, Phase phase) {
    exchange.phase = phase;
    exchange.phaseMark = Clock::now();
}

long ResponseCode(CURL* curl) {
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    return code;
}

bool DeliverHead(Exchange& exchange) {
    if (exchange.headDelivered) return true;
    exchange.headDelivered = true;
    exchange.head.status = ResponseCode(exchange.curl);
    if (exchange.handlers->head(exchange.head)) return true;
    exchange.stoppedByHandler = true;
    return false;
}

std::size_t OnBody(char* data, std::size_t, std::size_t size, void* context) {
    Exchange& exchange = *static_cast<Exchange*>(context);
    NoteActivity(exchange, Phase::Receiving);
    if (!DeliverHead(exchange)) return 0;  // makes libcurl end the transfer with an error
    if (exchange.handlers->body(data, size)) return size;
    exchange.stoppedByHandler = true;
    return 0;
}

bool HasName(std::string_view line, std::string_view name) {
    if (line.size() <= name.size() || line[name.size()] != ':') return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(line[i])) != name[i]) return false;
    return true;
}

std::string ValueOf(std::string_view line) {
    std::string_view value = line.substr(line.find(':') + 1);
    const auto first = value.find_first_not_of(" \t");
    const auto last = value.find_last_not_of(" \t\r\n");
    return first == std::string_view::npos ? std::string() : std::string(value.substr(first, last - first + 1));
}

void TakeHeader(std::string_view line, HttpHead& head) {
    if (line.rfind("HTTP/", 0) == 0)
        head = HttpHead{};  // a new response (after a redirect or 100 Continue)
    else if (HasName(line, "content-range"))
        head.contentRange = ValueOf(line);
    else if (HasName(line, "etag"))
        head.etag = ValueOf(line);
    else if (HasName(line, "last-modified"))
        head.lastModified = ValueOf(line);
    else if (HasName(line, "retry-after"))
        head.retryAfter = ValueOf(line);
    else if (HasName(line, "content-length")) {
        std::uint64_t length = 0;
        if (ParseDecimal(ValueOf(line), length)) head.contentLength = length;
    }
}

// Header lines of every response, redirects included. Once a redirect's header
// block is complete, libcurl goes on to connect to its target.
std::size_t OnHeader(char* line, std::size_t, std::size_t size, void* context) {
    Exchange& exchange = *static_cast<Exchange*>(context);
    const std::string_view text(line, size);
    const bool blockEnds = text == "\r\n" || text == "\n";
    const long status = ResponseCode(exchange.curl);
    NoteActivity(exchange, blockEnds && status >= 300 && status < 400 ? Phase::Connecting : Phase::Receiving);
    TakeHeader(text, exchange.head);
    return size;
}

// Called when a connection is ready and the request is about to go out (again
// for every redirect).
int OnRequestReady(void* context, char*, char*, int, int) {
    NoteActivity(*static_cast<Exchange*>(context), Phase::AwaitingResponse);
    return CURL_PREREQFUNC_OK;
}

bool SilentTooLong(const Exchange& exchange) {
    auto silentMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - exchange.phaseMark).count();
    switch (exchange.phase) {
        case Phase::Connecting: return silentMs > static_cast<long>(kConnectTimeoutMs);  // as CURLOPT_CONNECTTIMEOUT
        case Phase::AwaitingResponse: return silentMs > static_cast<long>(kReceiveResponseTimeoutMs);
        case Phase::Receiving: return silentMs > static_cast<long>(kReceiveTimeoutMs);
    }
    return true;
}

// Called about once a second even while nothing arrives; a non-zero result
// aborts the transfer.
int OnProgress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    Exchange& exchange = *static_cast<Exchange*>(context);
    if (SilentTooLong(exchange)) return 1;
    const auto now = Clock::now();
    exchange.pastDeadline = now >= exchange.request->deadline ||
                            (exchange.phase != Phase::Receiving && now >= exchange.request->headDeadline);
    if (exchange.pastDeadline) return 1;
    if (exchange.handlers->keepGoing()) return 0;
    exchange.stoppedByHandler = true;
    return 1;
}

bool Configure(
    CURL* curl, const ParsedUrl& url, const std::string& userAgent, curl_slist* headers, Exchange& exchange) {
    bool ok = true;
    auto set = [&](CURLoption option, auto value) { ok = ok && curl_easy_setopt(curl, option, value) == CURLE_OK; };
    set(CURLOPT_URL, url.url.c_str());
    set(CURLOPT_USERAGENT, userAgent.c_str());
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    // Redirects as WinHTTP follows them by default: at most 10, never from https to http.
    set(CURLOPT_FOLLOWLOCATION, 1L);
    set(CURLOPT_MAXREDIRS, 10L);
    set(CURLOPT_REDIR_PROTOCOLS_STR, url.https ? "https" : "http,https");
    set(CURLOPT_SSL_VERIFYPEER, 1L);
    set(CURLOPT_SSL_VERIFYHOST, 2L);
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(kConnectTimeoutMs));
    if (!exchange.request->range.empty()) set(CURLOPT_RANGE, exchange.request->range.substr(6).c_str());
    if (headers != nullptr) set(CURLOPT_HTTPHEADER, headers);
    set(CURLOPT_WRITEFUNCTION, &OnBody);
    set(CURLOPT_WRITEDATA, static_cast<void*>(&exchange));
    set(CURLOPT_HEADERFUNCTION, &OnHeader);
    set(CURLOPT_HEADERDATA, static_cast<void*>(&exchange));
    set(CURLOPT_PREREQFUNCTION, &OnRequestReady);
    set(CURLOPT_PREREQDATA, static_cast<void*>(&exchange));
    set(CURLOPT_XFERINFOFUNCTION, &OnProgress);
    set(CURLOPT_XFERINFODATA, static_cast<void*>(&exchange));
    set(CURLOPT_NOPROGRESS, 0L);
    set(CURLOPT_ERRORBUFFER, exchange.account);
    return ok;
}

// Errors after which another try cannot help.
bool IsRefusal(CURLcode code) {
    return code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CACERT_BADFILE ||
           code == CURLE_UNSUPPORTED_PROTOCOL || code == CURLE_TOO_MANY_REDIRECTS || code == CURLE_URL_MALFORMAT;
}

std::wstring SilenceText(Phase phase) {
    switch (phase) {
        case Phase::Connecting: return L"no connection within " + std::to_wstring(kConnectTimeoutMs / 1000) + L" s";
        case Phase::AwaitingResponse:
            return L"no answer within " + std::to_wstring(kReceiveResponseTimeoutMs / 1000) + L" s of the request";
        case Phase::Receiving: return L"nothing received for " + std::to_wstring(kReceiveTimeoutMs / 1000) + L" s";
    }
    return {};
}

long Info(CURL* curl, CURLINFO which) {
    long value = 0;
    curl_easy_getinfo(curl, which, &value);
    return value;
}

// OpenSSL's verdict on the chain; libcurl checks the name itself once the chain
// is accepted, and then reports "unspecified".
std::string CertificateWords(long verifyResult) {
    switch (verifyResult) {
        case X509_V_OK:
        case X509_V_ERR_UNSPECIFIED:
        case X509_V_ERR_HOSTNAME_MISMATCH: return "the server's certificate is not for this host name";
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID: return "the server's certificate has expired or is not yet valid";
        default: return "the server's certificate is not trusted";
    }
}

// What went wrong in words a publisher can act on, then libcurl's own account.
std::wstring CauseOf(CURL* curl, CURLcode code, const char* account) {
    std::string words = curl_easy_strerror(code);
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST: words = "the server's name could not be resolved (DNS)"; break;
        case CURLE_COULDNT_RESOLVE_PROXY: words = "the proxy's name could not be resolved (DNS)"; break;
        case CURLE_COULDNT_CONNECT:
            words = Info(curl, CURLINFO_OS_ERRNO) == ECONNREFUSED ? "the connection was refused"
                                                                  : "the server could not be reached";
            break;
        case CURLE_PEER_FAILED_VERIFICATION: words = CertificateWords(Info(curl, CURLINFO_SSL_VERIFYRESULT)); break;
        case CURLE_SSL_CONNECT_ERROR: words = "the secure connection could not be set up"; break;
        case CURLE_UNSUPPORTED_PROTOCOL: words = "a redirect from https to http was refused"; break;
        case CURLE_TOO_MANY_REDIRECTS: words = "more than 10 redirects"; break;
        case CURLE_GOT_NOTHING: words = "the server closed the connection without an answer"; break;
        case CURLE_PARTIAL_FILE: words = "the connection was cut before the end of the body"; break;
        default: break;
    }
    if (const long status = Info(curl, CURLINFO_HTTP_CONNECTCODE); status >= 300)
        words = "the proxy refused the connection (status " + std::to_string(status) + ")";
    return Utf8ToWide(*account == '\0' ? words : words + " (" + account + ")");
}

HttpOutcome Perform(CURL* curl, Exchange& exchange) {
    const CURLcode code = curl_easy_perform(curl);
    if (exchange.stoppedByHandler) return {HttpEnd::Stopped, L"stopped"};
    if (code == CURLE_OK) {
        // A body-less response never reached OnBody.
        if (ResponseCode(curl) == 0) return {HttpEnd::Failed, L"no response"};
        return DeliverHead(exchange) ? HttpOutcome{HttpEnd::Complete, {}} : HttpOutcome{HttpEnd::Stopped, L"stopped"};
    }
    if (exchange.pastDeadline) return {HttpEnd::Failed, L"out of time"};
    if (code == CURLE_ABORTED_BY_CALLBACK) return {HttpEnd::Failed, SilenceText(exchange.phase)};
    const std::wstring cause = CauseOf(curl, code, exchange.account);
    if (code == CURLE_COULDNT_RESOLVE_HOST || code == CURLE_COULDNT_CONNECT || Info(curl, CURLINFO_HTTP_CONNECTCODE))
        return {HttpEnd::Unreachable, cause};
    return {IsRefusal(code) ? HttpEnd::Refused : HttpEnd::Failed, cause};
}

}  // namespace

HttpOutcome HttpGet(const HttpRequest& request, const HttpHandlers& handlers) {
    ParsedUrl url;
    if (!InitCurlOnce() || !ParseUrl(request.url, url)) return {HttpEnd::Refused, L"unusable URL"};
    if (!g_keptHandle) g_keptHandle.Reset(curl_easy_init());
    if (!g_keptHandle) return {HttpEnd::Failed, L"no HTTP client"};
    Owned<HeaderListTraits> headers;
    if (!request.ifRange.empty()) headers.Reset(curl_slist_append(nullptr, ("If-Range: " + request.ifRange).c_str()));
    const std::string userAgent = WideToUtf8(UpdaterUserAgent());
    Exchange exchange;
    exchange.curl = g_keptHandle.Get();
    exchange.request = &request;
    exchange.handlers = &handlers;
    HttpOutcome outcome{HttpEnd::Failed, L"the HTTP client refused its settings"};
    if (Configure(exchange.curl, url, userAgent, headers.Get(), exchange)) outcome = Perform(exchange.curl, exchange);
    // An exchange that ended early may leave its connection in any state. The
    // options of a kept handle are reset now: they point into this call.
    if (outcome.end == HttpEnd::Complete)
        curl_easy_reset(g_keptHandle.Get());
    else
        g_keptHandle.Reset();
    return outcome;
}
