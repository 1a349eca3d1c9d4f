// DownloadFile's exchange over libcurl: the system CA store with peer and host
// name checks, WinHTTP's default limits and redirect rules, and success only for
// a final 200 whose body arrived whole.

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "services/download_transfer.h"
#include "services/text.h"
#include "services/update_server.h"

namespace {

using Clock = std::chrono::steady_clock;

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

struct Transfer {
    CURL* curl = nullptr;
    std::filesystem::path partialFile;
    BodyTally* tally = nullptr;
    int fd = -1;
    bool writeFailed = false;
    Phase phase = Phase::Connecting;
    Clock::time_point phaseMark = Clock::now();
};

void NoteActivity(Transfer& transfer, Phase phase) {
    transfer.phase = phase;
    transfer.phaseMark = Clock::now();
}

bool OpenPartialFile(Transfer& transfer) {
    if (transfer.fd >= 0) return true;
    transfer.fd = open(transfer.partialFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return transfer.fd >= 0;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

long ResponseCode(CURL* curl) {
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    return code;
}

// Body bytes of the final response. Only a 200 body is stored: anything else
// stops the transfer before a file exists.
std::size_t OnBody(char* data, std::size_t, std::size_t size, void* context) {
    Transfer& transfer = *static_cast<Transfer*>(context);
    NoteActivity(transfer, Phase::Receiving);
    if (ResponseCode(transfer.curl) != 200 || !OpenPartialFile(transfer) || !WriteAll(transfer.fd, data, size)) {
        transfer.writeFailed = true;
        return 0;  // makes libcurl end the transfer with an error
    }
    TallyBody(*transfer.tally, data, size);
    return size;
}

// Header lines of every response, redirects included. Once a redirect's header
// block is complete, libcurl goes on to connect to its target.
std::size_t OnHeader(char* line, std::size_t, std::size_t size, void* context) {
    Transfer& transfer = *static_cast<Transfer*>(context);
    const std::string_view text(line, size);
    const bool blockEnds = text == "\r\n" || text == "\n";
    const long status = ResponseCode(transfer.curl);
    NoteActivity(transfer, blockEnds && status >= 300 && status < 400 ? Phase::Connecting : Phase::Receiving);
    return size;
}

// Called when a connection is ready and the request is about to go out (again
// for every redirect).
int OnRequestReady(void* context, char*, char*, int, int) {
    NoteActivity(*static_cast<Transfer*>(context), Phase::AwaitingResponse);
    return CURL_PREREQFUNC_OK;
}

// Called about once a second even while nothing arrives; a non-zero result
// aborts the transfer.
int OnProgress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const Transfer& transfer = *static_cast<Transfer*>(context);
    auto silentMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - transfer.phaseMark).count();
    switch (transfer.phase) {
        case Phase::Connecting: return silentMs > static_cast<long>(kConnectTimeoutMs);  // as CURLOPT_CONNECTTIMEOUT
        case Phase::AwaitingResponse: return silentMs > static_cast<long>(kReceiveResponseTimeoutMs);
        case Phase::Receiving: return silentMs > static_cast<long>(kReceiveTimeoutMs);
    }
    return 1;
}

bool Configure(CURL* curl, const ParsedUrl& url, const std::string& userAgent, Transfer& transfer) {
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
    set(CURLOPT_WRITEFUNCTION, &OnBody);
    set(CURLOPT_WRITEDATA, static_cast<void*>(&transfer));
    set(CURLOPT_HEADERFUNCTION, &OnHeader);
    set(CURLOPT_HEADERDATA, static_cast<void*>(&transfer));
    set(CURLOPT_PREREQFUNCTION, &OnRequestReady);
    set(CURLOPT_PREREQDATA, static_cast<void*>(&transfer));
    set(CURLOPT_XFERINFOFUNCTION, &OnProgress);
    set(CURLOPT_XFERINFODATA, static_cast<void*>(&transfer));
    set(CURLOPT_NOPROGRESS, 0L);
    return ok;
}

bool Perform(CURL* curl, Transfer& transfer) {
    // Every result but CURLE_OK (a cut-short body is CURLE_PARTIAL_FILE) fails.
    if (curl_easy_perform(curl) != CURLE_OK || transfer.writeFailed) return false;
    if (ResponseCode(curl) != 200) return false;
    return OpenPartialFile(transfer);  // an empty 200 body never reached OnBody
}

}  // namespace

bool TransferToFile(const std::wstring& wideUrl, const std::filesystem::path& partialFile, BodyTally& tally) {
    ParsedUrl url;
    if (!InitCurlOnce() || !ParseUrl(wideUrl, url)) return false;
    CURL* curl = curl_easy_init();
    if (curl == nullptr) return false;
    const std::string userAgent = WideToUtf8(UpdaterUserAgent());
    Transfer transfer;
    transfer.curl = curl;
    transfer.partialFile = partialFile;
    transfer.tally = &tally;
    bool ok = Configure(curl, url, userAgent, transfer) && Perform(curl, transfer);
    if (transfer.fd >= 0 && close(transfer.fd) != 0) ok = false;
    curl_easy_cleanup(curl);
    return ok;
}

