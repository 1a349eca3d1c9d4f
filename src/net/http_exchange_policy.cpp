#include "net/http_exchange_policy.h"

Resend ResendAfter(std::uint32_t error, Resends& done) {
    if (error == kClientCertificateNeeded && !done.withoutCertificate) {
        done.withoutCertificate = true;
        return Resend::WithoutClientCertificate;
    }
    if (error == kResendRequest && !done.again) {
        done.again = true;
        return Resend::Again;
    }
    return Resend::No;
}

// A complete exchange leaves its connection ready for the next request, and
// one a handler stopped leaves it to WinHTTP, which discards a connection
// whose body was not read when the request is closed.
Dropped DroppedAfter(HttpEnd end) {
    return end == HttpEnd::Complete || end == HttpEnd::Stopped ? Dropped::Request : Dropped::Connection;
}
