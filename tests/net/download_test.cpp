// Downloads against the local servers that run_download_tests.py starts: what
// is stored, what is refused, that a refused download leaves the destination
// exactly as it was, and how packages continue what a cut download left.

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "base/text.h"
#include "delta/differential_update.h"
#include "integrity/sha256.h"
#include "net/download.h"
#include "test_support.h"

namespace {

std::string Env(const std::string& name) {
    const char* value = std::getenv(("UPDATER_NET_" + name).c_str());
    return value ? value : "";
}

// The servers: trusted (its certificate for localhost and otherhost.test), one
// with a certificate from an untrusted CA, one with a certificate for another
// host, and plain HTTP.
enum Server { Trusted, Untrusted, WrongHost, Plain };
std::string Base(Server s) {
    const char* const names[] = {"TRUSTED", "UNTRUSTED", "WRONGHOST", "PLAIN"};
    return Env(names[s] + std::string("_BASE"));
}
std::string Port(Server s) { return Base(s).substr(Base(s).rfind(':') + 1); }

// The servers' log lines of one port, after letting late writes land.
std::vector<std::string> EventsOn(Server s) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<std::string> events;
    std::ifstream in(fs::path(Env("LOG")));
    for (std::string line; std::getline(in, line);)
        if (line.find("\"port\": " + Port(s) + "}") != std::string::npos) events.push_back(line);
    return events;
}

// A field of a server log line: a string's text, a number's digits, "null".
std::string Field(const std::string& line, const std::string& key) {
    const auto at = line.find("\"" + key + "\": ");
    if (at == std::string::npos) return "";
    const auto from = at + key.size() + 4;
    if (line[from] == '"') return line.substr(from + 1, line.find('"', from + 1) - from - 1);
    return line.substr(from, line.find_first_of(",}", from) - from);
}

struct DownloadCase {
    const char* name;
    const char* path;
    const char* served;  // the file whose bytes arrive; nullptr: refused
    Server server = Trusted;
    bool versionFile = false;  // through DownloadVersionFile: 64 KB at most, within 30 seconds
    int limitSeconds = 0;      // a refusal that only this time limit can bring
    bool posixOnly = false;    // what WinHTTP under Wine does not show (see the row)
    // Through DownloadVersionFile, whose last log line names this cause.
    const char* cause = nullptr;
    bool proxied = false;  // through the plain server as the proxy, which refuses every tunnel
};

const DownloadCase kCases[] = {
    {"EmptyBody", "/files/empty.bin", "files/empty.bin"},
    {"BodyOfManyChunks", "/files/big.bin", "files/big.bin"},
    {"ChunkedBody", "/chunked", "files/big.bin"},
    {"SlowButSteadyBody", "/slow", "files/small.txt"},
    {"PlainHttp", "/files/small.txt", "files/small.txt", Plain},
    {"RelativeRedirect", "/redirect", "files/big.bin"},
    {"AbsoluteRedirect", "/redirect-absolute", "files/big.bin"},
    {"TwoRedirects", "/redirect-twice", "files/big.bin"},
    {"RedirectToAnotherHostWithItsCertificate", "/redirect-other-host", "files/big.bin"},
    // Which statuses are taken is the unit tests' matter (JudgeResponse); the
    // clients only hand them on.
    {"NotFound", "/missing", nullptr, Trusted, true, 0, false, "status 404 (no such file on the server)"},
    {"RedirectWithoutLocation", "/redirect-without-location", nullptr},
    {"RedirectLoop", "/redirect-loop", nullptr},
    {"RedirectToUntrustedCertificate", "/redirect-untrusted", nullptr},
    {"RedirectToAHostTheCertificateIsNotFor", "/redirect-mismatched-host", nullptr},
    {"RedirectFromHttpsToHttp", "/redirect-to-plain", nullptr, Trusted, true, 0, false, "redirect from https to http"},
    {"CutBody", "/cut", nullptr},
    {"CutBeforeTheFirstByte", "/cut-empty", nullptr},
    // WinHTTP (under Wine at least) takes a cut chunked body for a whole one.
    {"CutChunkedBody", "/cut-chunked", nullptr, Trusted, false, 0, true},
    {"ClosedWithoutAnswer", "/close", nullptr},
    {"UntrustedCertificate", "/files/small.txt", nullptr, Untrusted, true, 0, false, "certificate is not trusted"},
    {"CertificateForAnotherHost", "/files/small.txt", nullptr, WrongHost, true, 0, false, "not for this host name"},
    // https_proxy. The Windows build takes the player's proxy settings, which
    // Wine does not offer.
    {"RefusingProxy", "/files/small.txt", nullptr, Trusted, true, 0, true, "proxy refused", true},
    // Headers and a little of the body, then silence: only the 30-second no-data limit ends it.
    {"StalledBody", "/stall-body", nullptr, Trusted, false, 30},
    // A chunked version.txt of 100 MB is refused early; one never answered (on the
    // plain server, whose traffic the other tests do not count) ends at the deadline.
    {"VersionFileTooLargeChunked", "/huge-chunked", nullptr, Trusted, true},
    {"VersionFileNeverAnswered", "/never-answers", nullptr, Plain, true, 30},
};

class DownloadTable : public testing::TestWithParam<DownloadCase> {
protected:
    void SetUp() override {
        if (Base(Trusted).empty()) GTEST_SKIP() << "run through run_download_tests.py, which starts the servers";
    }
    ScratchDir dir{"download"};
    LogCapture log;
};

TEST_P(DownloadTable, Row) {
    const DownloadCase& c = GetParam();
    if (c.posixOnly && fs::path::preferred_separator != '/') GTEST_SKIP();
    const std::string old = "the file that was there before\n";
    const fs::path file = dir.path / "update.zip";
    // With an old file in place, and (unless slow) without one.
    for (const bool before : {true, false}) {
        if (!before && c.limitSeconds) break;
        fs::remove(file);
        if (before) WriteBytes(file, old);
        const std::optional<std::string> proxy = c.proxied ? std::optional(Base(Plain)) : std::nullopt;
        SetEnvironment("https_proxy", proxy);
        const auto start = std::chrono::steady_clock::now();
        const std::wstring url = Utf8ToWide(Base(c.server) + c.path);
        EXPECT_EQ(c.versionFile ? DownloadVersionFile(url, file) : DownloadFile(url, file), c.served != nullptr);
        const auto took = std::chrono::steady_clock::now() - start;
        SetEnvironment("https_proxy", std::nullopt);
        if (c.cause) {
            ASSERT_FALSE(log.Messages().empty());
            EXPECT_NE(log.Messages().back().find(c.cause), std::string::npos) << log.Messages().back();
        }
        EXPECT_GE(took, std::chrono::seconds(c.limitSeconds - 1)) << "ended by something else than the limit";
        if (c.limitSeconds) {
            EXPECT_LE(took, std::chrono::seconds(c.limitSeconds + 5));
        }
        const std::string content = c.served ? ReadBytes(fs::path(Env("ROOT")) / c.served) : old;
        ExpectTree(ReadTree(dir.path),
            c.served || before ? Tree{content.empty() ? "update.zip" : "update.zip=" + content} : Tree{});
    }
    if (c.server == Untrusted || c.server == WrongHost) {
        const auto events = EventsOn(c.server);
        EXPECT_FALSE(events.empty()) << "the client reached the server";
        for (const std::string& e : events) EXPECT_EQ(e.find("\"request\""), std::string::npos) << "past a bad cert";
    }
}

INSTANTIATE_TEST_SUITE_P(DownloadFile, DownloadTable, testing::ValuesIn(kCases),
    [](const testing::TestParamInfo<DownloadCase>& info) { return info.param.name; });

using DownloadFileTest = DownloadTable;

TEST_F(DownloadFileTest, UnusableUrlsAreRefusedWithoutTraffic) {
    const std::string port = Port(Trusted), authority = "localhost:" + port;
    // Both long host names resolve to the trusted server; the 255-character one
    // is contacted (and refused, the certificate being for localhost), the
    // longer one never is.
    ASSERT_EQ(Env("LONGEST_HOST").size(), 255u);
    const std::string urls[] = {"", "not a url", "localhost/files/small.txt", "//" + authority + "/files/small.txt",
        "ftp://" + authority + "/files/small.txt", "https://", "https:///files/small.txt",
        "https://localhost:notaport/files/small.txt", "https://" + authority + "/" + std::string(2048, 'p'),
        "https://" + Env("TOO_LONG_HOST") + ":" + port + "/files/small.txt"};
    const std::size_t before = EventsOn(Trusted).size();
    for (const std::string& url : urls) EXPECT_FALSE(DownloadFile(Utf8ToWide(url), dir.path / "update.zip")) << url;
    EXPECT_EQ(EventsOn(Trusted).size(), before);
    EXPECT_FALSE(DownloadFile(
        Utf8ToWide("https://" + Env("LONGEST_HOST") + ":" + port + "/files/small.txt"), dir.path / "update.zip"));
    EXPECT_GT(EventsOn(Trusted).size(), before) << "the 255-character host is contacted";
    ExpectTree(ReadTree(dir.path), {});
}

TEST_F(DownloadFileTest, SendsTheUpdaterUserAgent) {
    ASSERT_TRUE(DownloadFile(Utf8ToWide(Base(Trusted) + "/files/small.txt?agent"), dir.path / "small.txt"));
    const std::string authority = UPDATER_TEST_SERVER_AUTHORITY;
    const std::string agent =
        "\"user_agent\": \"TELV-Updater/1.0 (+https://" + authority.substr(0, authority.rfind(':'));
    const auto events = EventsOn(Trusted);
    EXPECT_TRUE(std::any_of(events.begin(), events.end(),
        [&](const std::string& e) { return e.find("small.txt?agent") != e.npos && e.find(agent + ")\"") != e.npos; }));
}

TEST_F(DownloadFileTest, DestinationThatCannotBeWrittenIsRefused) {
    EXPECT_FALSE(DownloadFile(Utf8ToWide(Base(Trusted) + "/files/small.txt"), dir.path / "missing" / "update.zip"));
    WriteBytes(dir.path / "update.zip" / "inside.txt", "old");
    EXPECT_FALSE(DownloadFile(Utf8ToWide(Base(Trusted) + "/files/small.txt"), dir.path / "update.zip"));
    ExpectTree(ReadTree(dir.path), {"update.zip/inside.txt=old"});
}

// What the platform halves carry of a continued download: Range and If-Range
// out, Content-Range, ETag and Retry-After in, and a refused status page read
// to its end so that its connection serves the next attempt. (Which answers
// continue a part, and when a failed attempt is retried, is the unit tests'
// matter.)
TEST_F(DownloadFileTest, PackageDownloadsContinueOnlyWhatMatches) {
    const std::string whole = ReadBytes(fs::path(Env("ROOT")) / "files/large.bin");
    const std::string half = "bytes=" + std::to_string(whole.size() / 2) + "-";
    const struct {
        const char* path;
        std::vector<std::string> ranges;  // asked for by each request; "null": none
        int waited;                       // seconds at least: a first retry without Retry-After waits 1.25 at most
        int reconnects;  // after the first request: a cut, a mismatch or a slow status page ends its connection
    } rows[] = {
        {"/resume-at-90", {"null", "bytes=" + std::to_string(whole.size() * 9 / 10) + "-"}, 0, 1},
        {"/changed-etag", {"null", half, "null"}, 0, 2},
        {"/busy", {"null", "null"}, 2, 0},       // 503 with Retry-After: 2, then the file
        {"/busy-slow", {"null", "null"}, 3, 1},  // a 503 whose body takes 5 s is given up after 2
    };
    for (const auto& row : rows) {
        const std::size_t eventsBefore = EventsOn(Trusted).size();
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(DownloadPackage(Utf8ToWide(Base(Trusted) + row.path), dir.path / "update.zip", PackageCheck{}));
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(row.waited)) << row.path;
        EXPECT_TRUE(ReadBytes(dir.path / "update.zip") == whole) << row.path;
        std::vector<std::string> ranges;
        std::uint64_t served = 0;
        int reconnects = 0;
        const auto events = EventsOn(Trusted);
        for (auto e = events.begin() + static_cast<std::ptrdiff_t>(eventsBefore); e != events.end(); ++e) {
            if (Field(*e, "event") == "connection" && !ranges.empty()) ++reconnects;
            if (Field(*e, "path") != row.path) continue;
            if (Field(*e, "event") == "request") ranges.push_back(Field(*e, "range"));
            if (Field(*e, "event") == "response") served += std::stoull(Field(*e, "bytes"));
        }
        EXPECT_EQ(ranges, row.ranges) << row.path;
        EXPECT_EQ(reconnects, row.reconnects) << row.path;
        if (row.path == std::string("/resume-at-90")) {
            EXPECT_LE(served, whole.size() + (1 << 20)) << "1 MiB twice at most";
        }
        ExpectTree(ReadTree(dir.path, "update.zip"), {});  // no part, no record
    }
}

// A list of servers over the platform halves (paths of one server standing in
// for servers, and a port nobody listens on for one that is down): a failed
// attempt goes to the next server; a checked release continues there by
// range, an unchecked one starts again; a server with another file, or whose
// version.txt is refused, passes the turn.
TEST_F(DownloadFileTest, PackagesFailOverToTheNextServer) {
    const std::string whole = ReadBytes(fs::path(Env("ROOT")) / "files/large.bin");
    const std::string half = "bytes=" + std::to_string(whole.size() / 2) + "-";
    Sha256Digest digest{};
    Sha256Of(whole, digest);
    const PackageCheck checked{DigestToHex(digest), std::to_string(whole.size())};
    const struct {
        const char* first;
        const char* second;
        bool checked;
        std::vector<std::string> secondRanges;  // "null": the whole file
    } rows[] = {
        {"https://localhost:1/down", "/files/large.bin", true, {"null"}},  // connection refused
        {"/always-503", "/files/large.bin", false, {"null"}},
        {"/files/big.bin", "/files/large.bin", true, {"null"}},  // another release's package
        {"/cut-large", "/files/large.bin", true, {half}},
        {"/stall-large", "/files/large.bin", true, {"bytes=1000-"}},  // after 30 s without a byte
        {"/cut-large", "/files/large.bin", false, {"null"}},
    };
    for (const auto& row : rows) {
        const std::string first = row.first[0] == '/' ? Base(Trusted) + row.first : row.first;
        const std::vector<std::wstring> urls = {Utf8ToWide(first), Utf8ToWide(Base(Trusted) + row.second)};
        ASSERT_TRUE(DownloadPackage(urls, dir.path / "update.zip", row.checked ? checked : PackageCheck{}))
            << row.first;
        EXPECT_TRUE(ReadBytes(dir.path / "update.zip") == whole) << row.first;
        std::vector<std::string> ranges;
        for (const std::string& e : EventsOn(Trusted))
            if (Field(e, "path") == row.second && Field(e, "event") == "request") ranges.push_back(Field(e, "range"));
        EXPECT_EQ(
            std::vector<std::string>(ranges.end() - std::min(ranges.size(), row.secondRanges.size()), ranges.end()),
            row.secondRanges)
            << row.first;
        fs::remove(dir.path / "update.zip");
    }
    const std::vector<std::wstring> versionUrls = {
        Utf8ToWide(Base(Trusted) + "/files/big.bin"), Utf8ToWide(Base(Trusted) + "/files/small.txt")};
    EXPECT_EQ(DownloadVersionFile(versionUrls, dir.path / "version.txt", [](const fs::path&) { return true; }),
        VersionFetch::Accepted)
        << "the first one's is too large";
    EXPECT_EQ(ReadBytes(dir.path / "version.txt"), ReadBytes(fs::path(Env("ROOT")) / "files/small.txt"));
}

// The differential update over the platform halves: only b.bin differs from
// the installation, so three ranges are asked (the first byte, the tail, b.bin),
// each after the first with If-Range; an answer that does not continue the
// file the first one came from, runs past its range or trickles past the
// read's deadline makes it fall back to the whole package.
TEST_F(DownloadFileTest, DifferentialFetchTakesOnlyRangesOfOneFile) {
    const fs::path files = fs::path(Env("ROOT")) / "files";
    const char* const overrun = "past byte";
    const struct {
        const char* path;
        DeltaEnd end;
        const char* why = nullptr;  // in the reason for falling back
        int seconds = 5;            // at most
    } rows[] = {{"/files/delta.zip", DeltaEnd::Ready}, {"/delta-no-ranges", DeltaEnd::FallBack},
        {"/delta-shifted", DeltaEnd::FallBack}, {"/delta-wrong-bytes", DeltaEnd::FallBack},
        {"/delta-etag-changed", DeltaEnd::FallBack}, {"/delta-no-validator", DeltaEnd::FallBack},
        {"/delta-tail-overrun", DeltaEnd::FallBack, overrun}, {"/delta-tail-endless", DeltaEnd::FallBack, overrun},
        {"/delta-span-overrun", DeltaEnd::FallBack, overrun}, {"/delta-span-endless", DeltaEnd::FallBack, overrun},
        // 100,000 bytes at 2,000 a second: the read ends after 30 s + 100,000 bytes at 16 KiB/s.
        {"/delta-span-trickled", DeltaEnd::FallBack, "took longer than 36 s", 40}};
    for (const auto& row : rows) {
        const auto start = std::chrono::steady_clock::now();
        ScratchDir scratch{"delta"};
        const fs::path install = scratch.path / "game", extraction = install / "_update_temp";
        fs::create_directories(extraction);
        fs::copy(files / "delta-install", install, fs::copy_options::recursive);
        const DownloadEnvironment environment = RealDownloadEnvironment();
        DifferentialPlan plan;
        plan.tailFile = scratch.path / "directory.kept";
        std::wstring why;
        const std::wstring url = Utf8ToWide(Base(Trusted) + row.path);
        DeltaEnd end = PlanDifferentialUpdate({url}, install, extraction, {}, environment, plan, why);
        if (end == DeltaEnd::Ready) end = FetchChangedEntries(plan, extraction, why);
        EXPECT_EQ(end, row.end) << row.path << " " << WideToUtf8(why);
        EXPECT_LE(std::chrono::steady_clock::now() - start, std::chrono::seconds(row.seconds)) << row.path;
        if (row.why) {
            EXPECT_NE(WideToUtf8(why).find(row.why), std::string::npos) << row.path << " " << WideToUtf8(why);
        }
        if (row.end != DeltaEnd::Ready) continue;
        const std::string package = ReadBytes(files / "delta.zip");
        const std::string b = package.substr(package.find("b.bin") + 5, 100000);
        ExpectTree(ReadTree(extraction), {"b.bin=" + b});
        std::vector<std::string> ifRanges;
        for (const std::string& e : EventsOn(Trusted))
            if (Field(e, "path") == row.path && Field(e, "event") == "request")
                ifRanges.push_back(Field(e, "if_range"));
        EXPECT_EQ(ifRanges.size(), 3u);
        EXPECT_EQ(std::count(ifRanges.begin(), ifRanges.end(), "null"), 1);
    }
}

// Ranges of one file into a sink, each asked with If-Range and the first
// answer's validator, over one kept connection; a server that closes it now
// and then without notice only costs a new connection.
TEST_F(DownloadFileTest, ManyRangesOverOneKeptConnection) {
    const std::string whole = ReadBytes(fs::path(Env("ROOT")) / "files/large.bin");
    const struct {
        const char* path;
        std::size_t connections;  // at most, for 50 ranges
    } rows[] = {{"/files/large.bin", 1}, {"/closes-after-10", 6}};
    for (const auto& row : rows) {
        const auto connectionsBefore = std::ranges::count_if(
            EventsOn(Trusted), [](const std::string& e) { return Field(e, "event") == "connection"; });
        std::string validator;
        for (std::uint64_t from = 0; from < 50 * 1000; from += 1000) {
            std::string received;
            const RangeSink sink = [&](const char* data, std::size_t size) {
                received.append(data, size);
                return true;
            };
            const RangeResult result = FetchRange(
                {.url = Utf8ToWide(Base(Trusted) + row.path), .from = from, .to = from + 1000, .validator = validator},
                sink, {});
            ASSERT_EQ(result.end, RangeEnd::Complete) << row.path << " at " << from;
            ASSERT_FALSE(result.validator.empty());
            validator = result.validator;
            EXPECT_TRUE(received == whole.substr(from, 1000)) << row.path << " at " << from;
        }
        const auto connections = std::ranges::count_if(
            EventsOn(Trusted), [](const std::string& e) { return Field(e, "event") == "connection"; });
        EXPECT_LE(connections - connectionsBefore, row.connections) << row.path;
    }
}

}  // namespace
