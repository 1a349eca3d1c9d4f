// DownloadFile's exchange over WinHTTP: one synchronous GET with the default
// proxy, the secure flag for https, status exactly 200, the body streamed to the
// file in 8192-byte chunks, and the handles closed request, connection, session
// on every path.

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <cwchar>

#include "services/download_transfer.h"
#include "services/update_server.h"

namespace {

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

// WinHTTP's documented defaults, set explicitly: Wine waits for response headers
// without any limit otherwise.
bool SetLimits(HINTERNET session) {
    DWORD receiveResponse = kReceiveResponseTimeoutMs;
    return WinHttpSetTimeouts(session, 0, kConnectTimeoutMs, kSendTimeoutMs, kReceiveTimeoutMs) &&
           WinHttpSetOption(session, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &receiveResponse,
                            sizeof receiveResponse);
}

bool SendAndReceive(HINTERNET request) {
    return WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
           WinHttpReceiveResponse(request, nullptr);
}

bool StatusIs200(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof status;
    WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                        &status, &size, WINHTTP_NO_HEADER_INDEX);
    return status == 200;
}

enum class Length { Absent, Known, Invalid };

// Read as text: the number form holds only 32 bits and packages can be larger.
Length ContentLength(HINTERNET request, std::uint64_t& length) {
    wchar_t text[32] = {};
    DWORD size = sizeof text;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX))
        return GetLastError() == ERROR_WINHTTP_HEADER_NOT_FOUND ? Length::Absent : Length::Invalid;
    length = 0;
    const wchar_t* digit = text;
    if (*digit == L'\0') return Length::Invalid;
    for (; *digit != L'\0'; ++digit) {
        if (*digit < L'0' || *digit > L'9' || length > (UINT64_MAX - 9) / 10) return Length::Invalid;
        length = length * 10 + static_cast<std::uint64_t>(*digit - L'0');
    }
    return Length::Known;
}

// Copies the body until WinHTTP reports its end. A failed query, read or write
// fails the download. A body that ends before its announced Content-Length also
// looks like a clean end (Wine), so the count is compared with it. A chunked body
// that is cut off cannot be told from a complete one here.
bool CopyBody(HINTERNET request, HANDLE file, BodyTally& tally) {
    char buffer[8192];
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) return false;
        if (available == 0) return true;
        if (available > sizeof buffer) available = sizeof buffer;
        DWORD read = 0;
        if (!WinHttpReadData(request, buffer, available, &read)) return false;
        if (read == 0) return true;
        DWORD written = 0;
        if (!WriteFile(file, buffer, read, &written, nullptr) || written != read) return false;
        TallyBody(tally, buffer, read);
    }
}

bool StoreBody(HINTERNET request, const std::filesystem::path& partialFile, BodyTally& tally) {
    std::uint64_t announced = 0;
    Length length = ContentLength(request, announced);
    if (length == Length::Invalid) return false;
    HANDLE file = CreateFileW(partialFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool complete = CopyBody(request, file, tally);
    if (!CloseHandle(file)) complete = false;
    return complete && (length == Length::Absent || tally.size == announced);
}

bool FetchOverConnection(HINTERNET connection, const UrlParts& parts, const std::filesystem::path& partialFile,
                         BodyTally& tally) {
    HINTERNET request = WinHttpOpenRequest(connection, L"GET", parts.path, nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, parts.https ? WINHTTP_FLAG_SECURE : 0);
    if (request == nullptr) return false;
    bool ok = SendAndReceive(request) && StatusIs200(request) && StoreBody(request, partialFile, tally);
    WinHttpCloseHandle(request);
    return ok;
}

bool FetchInSession(HINTERNET session, const UrlParts& parts, const std::filesystem::path& partialFile,
                    BodyTally& tally) {
    HINTERNET connection = WinHttpConnect(session, parts.host, parts.port, 0);
    if (connection == nullptr) return false;
    bool ok = FetchOverConnection(connection, parts, partialFile, tally);
    WinHttpCloseHandle(connection);
    return ok;
}

}  // namespace

bool TransferToFile(const std::wstring& url, const std::filesystem::path& partialFile, BodyTally& tally) {
    UrlParts parts;
    if (!CrackUrl(url, parts)) return false;
    const std::wstring userAgent = UpdaterUserAgent();
    HINTERNET session = WinHttpOpen(userAgent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    if (session == nullptr) return false;
    bool ok = SetLimits(session) && FetchInSession(session, parts, partialFile, tally);
    WinHttpCloseHandle(session);
    return ok;
}

