// DownloadFile against the local servers that run_download_tests.py starts:
// what is stored, what is refused, and that a refused download leaves the
// destination exactly as it was.

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "services/download.h"
#include "services/text.h"
#include "test_support.h"

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The servers: trusted (certificate for localhost and otherhost.test), one
// whose certificate comes from an untrusted CA, one whose certificate is for
// another host, and plain HTTP.
enum class Server { Trusted, Untrusted, WrongHost, Plain };

std::string Base(Server server) {
    const char* names[] = {"UPDATER_NET_BASE", "UPDATER_NET_UNTRUSTED_BASE", "UPDATER_NET_WRONGHOST_BASE",
                           "UPDATER_NET_PLAIN_BASE"};
    return Env(names[static_cast<int>(server)]);
}

std::wstring Url(const std::string& path, Server server = Server::Trusted) { return Utf8ToWide(Base(server) + path); }
int PortOf(Server server) { return std::stoi(Base(server).substr(Base(server).rfind(':') + 1)); }
std::string ServedBytes(const std::string& relative) { return ReadBytes(fs::path(Env("UPDATER_NET_ROOT")) / relative); }

// The servers' JSON-lines log as "event port path user-agent" lines, after
// letting late writes land.
std::vector<std::string> EventsOnPort(int port) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::string key = "\"port\": " + std::to_string(port);
    std::vector<std::string> events;
    std::ifstream in(fs::path(Env("UPDATER_NET_LOG")));
    for (std::string line; std::getline(in, line);) {
        const std::size_t at = line.find(key);
        if (at != std::string::npos && std::string(",}").find(line[at + key.size()]) != std::string::npos)
            events.push_back(line);
    }
    return events;
}

const std::string kOldContent = "the file that was there before\n";

struct DownloadCase {
    const char* name;
    const char* path;
    const char* served;  // the file whose bytes arrive; nullptr: refused
    Server server = Server::Trusted;
    int atLeastSeconds = 0;  // a refusal that only a time limit can bring
    bool posixOnly = false;  // WinHTTP (under Wine at least) takes a cut chunked body for a whole one
};

const DownloadCase kCases[] = {
    {"EmptyBody", "/files/empty.bin", "files/empty.bin"},
    {"SmallBody", "/files/small.txt", "files/small.txt"},
    {"BodyOfManyChunks", "/files/big.bin", "files/big.bin"},
    {"ChunkedBody", "/chunked", "files/big.bin"},
    {"SlowButSteadyBody", "/slow", "files/small.txt"},
    {"PlainHttp", "/files/small.txt", "files/small.txt", Server::Plain},
    {"RelativeRedirect", "/redirect", "files/big.bin"},
    {"AbsoluteRedirect", "/redirect-absolute", "files/big.bin"},
    {"TwoRedirects", "/redirect-twice", "files/big.bin"},
    {"RedirectToAnotherHostWithItsCertificate", "/redirect-other-host", "files/big.bin"},
    {"NotFound", "/missing", nullptr},
    {"Status500", "/status-500", nullptr},
    {"Status204", "/status-204", nullptr},
    {"Status206", "/status-206", nullptr},
    {"Status201", "/status-201", nullptr},
    {"RedirectToMissing", "/redirect-to-missing", nullptr},
    {"RedirectWithoutLocation", "/redirect-without-location", nullptr},
    {"RedirectLoop", "/redirect-loop", nullptr},
    {"RedirectToUntrustedCertificate", "/redirect-untrusted", nullptr},
    {"RedirectToAHostTheCertificateIsNotFor", "/redirect-mismatched-host", nullptr},
    {"RedirectFromHttpsToHttp", "/redirect-to-plain", nullptr},
    {"CutBody", "/cut", nullptr},
    {"CutBeforeTheFirstByte", "/cut-empty", nullptr},
    {"CutChunkedBody", "/cut-chunked", nullptr, Server::Trusted, 0, true},
    {"ClosedWithoutAnswer", "/close", nullptr},
    {"UntrustedCertificate", "/files/small.txt", nullptr, Server::Untrusted},
    {"CertificateForAnotherHost", "/files/small.txt", nullptr, Server::WrongHost},
    // Headers and a little of the body, then silence: only the 30-second
    // no-data limit ends it.
    {"StalledBody", "/stall-body", nullptr, Server::Trusted, 29},
};

class DownloadTable : public testing::TestWithParam<DownloadCase> {
protected:
    void SetUp() override {
        if (Base(Server::Trusted).empty()) GTEST_SKIP() << "run through run_download_tests.py, which starts the servers";
    }
    ScratchDir dir{"download"};
};

TEST_P(DownloadTable, Row) {
    const DownloadCase& c = GetParam();
    if (c.posixOnly && fs::path::preferred_separator != '/') GTEST_SKIP();
    const fs::path destination = dir.path / "update.zip";
    // With an old file in place, and (unless slow) without one.
    for (const bool old : {true, false}) {
        if (!old && c.atLeastSeconds) break;
        fs::remove(destination);
        if (old) WriteBytes(destination, kOldContent);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(DownloadFile(Url(c.path, c.server), destination), c.served != nullptr);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, std::chrono::seconds(c.atLeastSeconds)) << "ended by the server, not by the limit";
        const std::string content = c.served ? ServedBytes(c.served) : kOldContent;
        ExpectTree(ReadTree(dir.path), c.served || old ? Tree{content.empty() ? "update.zip" : "update.zip=" + content} : Tree{});
    }
    if (c.server == Server::Untrusted || c.server == Server::WrongHost) {
        const auto events = EventsOnPort(PortOf(c.server));
        EXPECT_FALSE(events.empty()) << "the client reached the server";
        for (const std::string& e : events) EXPECT_EQ(e.find("\"request\""), std::string::npos) << "past a bad certificate";
    }
}

INSTANTIATE_TEST_SUITE_P(DownloadFile, DownloadTable, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<DownloadCase>& info) { return info.param.name; });

using DownloadFileTest = DownloadTable;

TEST_F(DownloadFileTest, UnusableUrlsAreRefusedWithoutTraffic) {
    const std::string port = std::to_string(PortOf(Server::Trusted)), authority = "localhost:" + port;
    // Both long host names resolve to the trusted server in the test's hosts
    // file; the 255-character one is contacted (and refused, its certificate
    // being for localhost), the longer one never is.
    const std::string longest = Env("UPDATER_NET_LONGEST_HOST"), tooLong = Env("UPDATER_NET_TOO_LONG_HOST");
    ASSERT_EQ(longest.size(), 255u);
    ASSERT_GT(tooLong.size(), 255u);
    const std::string urls[] = {"", "not a url", "localhost/files/small.txt", "//" + authority + "/files/small.txt",
                                "ftp://" + authority + "/files/small.txt", "https://", "https:///files/small.txt",
                                "https://localhost:notaport/files/small.txt",
                                "https://" + authority + "/" + std::string(2048, 'p'),
                                "https://" + tooLong + ":" + port + "/files/small.txt"};
    const std::size_t before = EventsOnPort(PortOf(Server::Trusted)).size();
    for (const std::string& url : urls) EXPECT_FALSE(DownloadFile(Utf8ToWide(url), dir.path / "update.zip")) << url;
    EXPECT_EQ(EventsOnPort(PortOf(Server::Trusted)).size(), before);
    EXPECT_FALSE(DownloadFile(Utf8ToWide("https://" + longest + ":" + port + "/files/small.txt"),
                              dir.path / "update.zip"));
    EXPECT_GT(EventsOnPort(PortOf(Server::Trusted)).size(), before) << "the 255-character host is contacted";
    ExpectTree(ReadTree(dir.path), {});
}

TEST_F(DownloadFileTest, SendsTheUpdaterUserAgent) {
    ASSERT_TRUE(DownloadFile(Url("/files/small.txt?agent-check"), dir.path / "small.txt"));
    const auto events = EventsOnPort(PortOf(Server::Trusted));
    const std::string authority = UPDATER_TEST_SERVER_AUTHORITY;
    const std::string agent = "TELV-Updater/1.0 (+https://" + authority.substr(0, authority.rfind(':')) + ")";
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [&](const std::string& e) {
        return e.find("agent-check") != e.npos && e.find("\"user_agent\": \"" + agent + "\"") != e.npos;
    }));
}

TEST_F(DownloadFileTest, DestinationThatCannotBeWrittenIsRefused) {
    EXPECT_FALSE(DownloadFile(Url("/files/small.txt"), dir.path / "missing-folder" / "update.zip"));
    WriteBytes(dir.path / "update.zip" / "inside.txt", kOldContent);
    EXPECT_FALSE(DownloadFile(Url("/files/small.txt"), dir.path / "update.zip"));
    ExpectTree(ReadTree(dir.path), {"update.zip/inside.txt=" + kOldContent});
}

}  // namespace
