#include "net/http_exchange_policy.h"

// A complete exchange leaves its connection ready for the next request, and
// one a handler stopped leaves it to WinHTTP, which discards a connection
// whose body was not read when the request is closed.
Dropped DroppedAfter(HttpEnd end) {
    return end == HttpEnd::Complete || end == HttpEnd::Stopped ? Dropped::Request : Dropped::Connection;
}
