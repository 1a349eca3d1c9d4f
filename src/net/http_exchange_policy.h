#pragma once
// Two decisions of the Windows build's HTTP client (WinHTTP), kept apart from
// its calls so that both builds test them: when a request is sent once more on
// the same handle, and what an exchange that ended leaves open for the next
// one on its thread.
#include <cstdint>

#include "net/http_exchange.h"

// The server only asks for a client certificate: sent again without one.
inline constexpr std::uint32_t kClientCertificateNeeded = 12044;
// WinHTTP asks for the request to be sent again (a redirect, an authentication).
inline constexpr std::uint32_t kResendRequest = 12032;

enum class Resend { No, Again, WithoutClientCertificate };
// What the request was already sent again for; each happens once at most.
struct Resends {
    bool withoutCertificate = false;
    bool again = false;
};
// What to do about a send that failed with `error`; notes it in `done`.
Resend ResendAfter(std::uint32_t error, Resends& done);

// The session (and with it WinHTTP's pool of connections, the proxy found and
// the TLS sessions) lives as long as the thread. After an exchange its request
// is closed; one that ended in a network failure or a refusal also drops its
// connection, so that the next request opens a new one.
enum class Dropped { Request, Connection };
Dropped DroppedAfter(HttpEnd end);
