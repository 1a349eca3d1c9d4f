#pragma once
// A decision of the Windows build's HTTP client (WinHTTP), kept apart from its
// calls so that both builds test it: what an exchange that ended leaves open
// for the next one on its thread.
#include "net/http_exchange.h"

// The session (and with it WinHTTP's pool of connections, the proxy found and
// the TLS sessions) lives as long as the thread. After an exchange its request
// is closed; one that ended in a network failure or a refusal also drops its
// connection, so that the next request opens a new one.
enum class Dropped { Request, Connection };
Dropped DroppedAfter(HttpEnd end);
