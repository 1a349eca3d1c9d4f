#pragma once
// What the download tests know of the local servers that run_download_tests.py
// starts for them: their base URLs, the served directory and the event log.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "services/text.h"
#include "test_support.h"

namespace net_testing {

inline std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Base URLs: "https://localhost:PORT" (trusted), its untrusted and wrong-host
// siblings, and a plain-HTTP one.
inline std::string TrustedBase() { return Env("UPDATER_NET_BASE"); }
inline std::string UntrustedBase() { return Env("UPDATER_NET_UNTRUSTED_BASE"); }
inline std::string WrongHostBase() { return Env("UPDATER_NET_WRONGHOST_BASE"); }
inline std::string PlainBase() { return Env("UPDATER_NET_PLAIN_BASE"); }

inline std::wstring Url(const std::string& base, const std::string& path) { return Utf8ToWide(base + path); }
inline std::wstring Url(const std::string& path) { return Url(TrustedBase(), path); }

// The bytes of a file below the served directory.
inline std::string ServedBytes(const std::string& relative) {
    return testing_support::ReadBytes(std::filesystem::path(Env("UPDATER_NET_ROOT")) / relative);
}

inline int PortOf(const std::string& base) { return std::stoi(base.substr(base.rfind(':') + 1)); }

// One line of the servers' JSON-lines log.
struct ServerEvent {
    std::string event;  // "connection", "tls-failed" or "request"
    int port = 0;
    std::string path;
    std::string userAgent;
    std::string range;        // of a request
    std::uint64_t bytes = 0;  // body bytes of a "response"
};

// The string value of "key": "..." in a flat JSON line (the escapes json.dumps
// writes for quotes and backslashes are undone; others are kept as written).
inline std::string JsonField(const std::string& line, const std::string& key) {
    std::size_t at = line.find("\"" + key + "\": ");
    if (at == std::string::npos) return "";
    at += key.size() + 4;
    if (line.compare(at, 1, "\"") != 0) return line.substr(at, line.find_first_of(",}", at) - at);
    std::string value;
    for (std::size_t i = at + 1; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) ++i;
        value += line[i];
    }
    return value;
}

inline std::vector<ServerEvent> ServerEvents() {
    std::vector<ServerEvent> events;
    std::ifstream in(std::filesystem::path(Env("UPDATER_NET_LOG")));
    std::string line;
    while (std::getline(in, line)) {
        std::string port = JsonField(line, "port");
        std::string bytes = JsonField(line, "bytes");
        events.push_back({JsonField(line, "event"), port.empty() ? 0 : std::stoi(port), JsonField(line, "path"),
                          JsonField(line, "user_agent"), JsonField(line, "range") == "null" ? "" : JsonField(line, "range"),
                          bytes.empty() ? 0 : std::stoull(bytes)});
    }
    return events;
}

// Skips a test when the servers are not there (the binary run on its own).
class ServerTest : public testing::Test {
protected:
    void SetUp() override {
        if (TrustedBase().empty()) GTEST_SKIP() << "run through run_download_tests.py, which starts the servers";
    }
    testing_support::ScratchDir dir{"download"};
};

}  // namespace net_testing
