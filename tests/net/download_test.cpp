// DownloadFile against the local servers: what is stored, what is refused, and
// that a refused download leaves the destination exactly as it was.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "services/download.h"
#include "test_server.h"

using namespace net_testing;
using testing_support::ReadBytes;
using testing_support::WriteBytes;

namespace {

const std::string kOldContent = "the file that was there before\n";

class DownloadFileTest : public ServerTest {
protected:
    std::filesystem::path Destination() const { return dir.path / "update.zip"; }

    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path, ec))
            names.push_back(WideToUtf8(PathToWide(entry.path().filename())));
        std::sort(names.begin(), names.end());
        return names;
    }

    // A refused download must leave an existing destination byte for byte and
    // no partial file beside it.
    void ExpectRefusedKeepingOldFile(const std::wstring& url) {
        WriteBytes(Destination(), kOldContent);
        EXPECT_FALSE(DownloadFile(url, Destination())) << WideToUtf8(url);
        EXPECT_EQ(ReadBytes(Destination()), kOldContent) << WideToUtf8(url);
        EXPECT_EQ(Names(), std::vector<std::string>{"update.zip"}) << WideToUtf8(url);
    }

    void ExpectRefusedLeavingNothing(const std::wstring& url) {
        std::filesystem::remove(Destination());
        EXPECT_FALSE(DownloadFile(url, Destination())) << WideToUtf8(url);
        EXPECT_EQ(Names(), std::vector<std::string>{}) << WideToUtf8(url);
    }
};

// Events the servers logged for one port, after letting late writes land.
std::vector<ServerEvent> EventsOnPort(int port) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<ServerEvent> events = ServerEvents();
    std::erase_if(events, [&](const ServerEvent& e) { return e.port != port; });
    return events;
}

std::string ServerHostOfThisBuild() {
    std::string authority = UPDATER_TEST_SERVER_AUTHORITY;
    return authority.substr(0, authority.rfind(':'));
}

}  // namespace

TEST_F(DownloadFileTest, StoresBodiesExactly) {
    for (const char* name : {"empty.bin", "small.txt", "big.bin"}) {
        std::filesystem::path target = dir.path / name;
        ASSERT_TRUE(DownloadFile(Url(std::string("/files/") + name), target)) << name;
        EXPECT_EQ(ReadBytes(target), ServedBytes(std::string("files/") + name)) << name;
    }
    EXPECT_EQ(std::filesystem::file_size(dir.path / "empty.bin"), 0u);
    EXPECT_GT(std::filesystem::file_size(dir.path / "big.bin"), 100u * 8192u) << "must take many chunks";
    EXPECT_EQ(Names(), (std::vector<std::string>{"big.bin", "empty.bin", "small.txt"})) << "no partial files left";
}

TEST_F(DownloadFileTest, ReplacesAnExistingFileWithTheNewBody) {
    WriteBytes(Destination(), std::string(100000, 'o'));
    ASSERT_TRUE(DownloadFile(Url("/files/small.txt"), Destination()));
    EXPECT_EQ(ReadBytes(Destination()), ServedBytes("files/small.txt"));
    ASSERT_TRUE(DownloadFile(Url("/files/empty.bin"), Destination()));
    EXPECT_EQ(ReadBytes(Destination()), "");
}

TEST_F(DownloadFileTest, StoresAChunkedBodyWhole) {
    ASSERT_TRUE(DownloadFile(Url("/chunked"), Destination()));
    EXPECT_EQ(ReadBytes(Destination()), ServedBytes("files/big.bin"));
}

TEST_F(DownloadFileTest, FollowsRedirectsToTheFinalBody) {
    for (const char* path : {"/redirect", "/redirect-absolute", "/redirect-twice"}) {
        std::filesystem::remove(Destination());
        ASSERT_TRUE(DownloadFile(Url(path), Destination())) << path;
        EXPECT_EQ(ReadBytes(Destination()), ServedBytes("files/big.bin")) << path;
    }
}

TEST_F(DownloadFileTest, AnyFinalStatusButOkIsRefused) {
    for (const char* path : {"/missing", "/status-500", "/status-204", "/status-206", "/status-201",
                             "/redirect-to-missing", "/redirect-without-location"}) {
        ExpectRefusedKeepingOldFile(Url(path));
        ExpectRefusedLeavingNothing(Url(path));
    }
}

TEST_F(DownloadFileTest, BodyCutShortIsRefused) {
    ExpectRefusedKeepingOldFile(Url("/cut"));
    ExpectRefusedLeavingNothing(Url("/cut"));
    ExpectRefusedKeepingOldFile(Url("/cut-empty"));
}

TEST_F(DownloadFileTest, ConnectionClosedWithoutAnswerIsRefused) {
    ExpectRefusedKeepingOldFile(Url("/close"));
    ExpectRefusedLeavingNothing(Url("/close"));
}

TEST_F(DownloadFileTest, CertificateMustBeTrustedAndForTheHost) {
    ExpectRefusedKeepingOldFile(Url(UntrustedBase(), "/files/small.txt"));
    ExpectRefusedKeepingOldFile(Url(WrongHostBase(), "/files/small.txt"));
    for (int port : {PortOf(UntrustedBase()), PortOf(WrongHostBase())}) {
        std::vector<ServerEvent> events = EventsOnPort(port);
        EXPECT_FALSE(events.empty()) << "the client did reach port " << port;
        for (const ServerEvent& e : events) EXPECT_NE(e.event, "request") << "no request may pass a bad certificate";
    }
}

TEST_F(DownloadFileTest, RedirectsCannotLeadAwayFromATrustedHttpsAnswer) {
    for (const char* path : {"/redirect-untrusted", "/redirect-to-plain", "/redirect-loop"})
        ExpectRefusedKeepingOldFile(Url(path));
}

TEST_F(DownloadFileTest, PlainHttpUrlIsFetched) {
    ASSERT_TRUE(DownloadFile(Url(PlainBase(), "/files/small.txt"), Destination()));
    EXPECT_EQ(ReadBytes(Destination()), ServedBytes("files/small.txt"));
}

TEST_F(DownloadFileTest, UnusableUrlsAreRefusedWithoutTraffic) {
    const int port = PortOf(TrustedBase());
    const std::string authority = "localhost:" + std::to_string(port);
    const std::size_t before = EventsOnPort(port).size();
    const std::vector<std::string> urls = {
        "", "not a url", "localhost/files/small.txt", "//" + authority + "/files/small.txt",
        "ftp://" + authority + "/files/small.txt", "https://", "https:///files/small.txt",
        "https://localhost:notaport/files/small.txt", "https://" + authority + "/" + std::string(2048, 'p'),
    };
    for (const std::string& url : urls) ExpectRefusedKeepingOldFile(Utf8ToWide(url));
    EXPECT_EQ(EventsOnPort(port).size(), before);
}

// Both host names resolve to the trusted server in the test's hosts file; only
// the length differs. The 255-character one is contacted (and then refused, its
// certificate being for localhost); the longer one never is.
TEST_F(DownloadFileTest, HostOverLimitIsRefusedWithoutTraffic) {
    const int port = PortOf(TrustedBase());
    const std::string longest = Env("UPDATER_NET_LONGEST_HOST"), tooLong = Env("UPDATER_NET_TOO_LONG_HOST");
    ASSERT_EQ(longest.size(), 255u);
    ASSERT_GT(tooLong.size(), 255u);
    auto urlFor = [&](const std::string& host) {
        return Utf8ToWide("https://" + host + ":" + std::to_string(port) + "/files/small.txt");
    };

    std::size_t before = EventsOnPort(port).size();
    ExpectRefusedKeepingOldFile(urlFor(tooLong));
    EXPECT_EQ(EventsOnPort(port).size(), before) << "no connection for a host over 255 characters";

    ExpectRefusedKeepingOldFile(urlFor(longest));
    EXPECT_GT(EventsOnPort(port).size(), before) << "the 255-character host is resolved and contacted";
}

TEST_F(DownloadFileTest, SendsTheUpdaterUserAgent) {
    ASSERT_TRUE(DownloadFile(Url("/files/small.txt?agent-check"), Destination()));
    std::vector<ServerEvent> events = EventsOnPort(PortOf(TrustedBase()));
    auto request = std::find_if(events.rbegin(), events.rend(),
                                [](const ServerEvent& e) { return e.event == "request" && e.path == "/files/small.txt?agent-check"; });
    ASSERT_NE(request, events.rend());
    EXPECT_EQ(request->userAgent, "TELV-Updater/1.0 (+https://" + ServerHostOfThisBuild() + ")");
}

TEST_F(DownloadFileTest, DestinationThatCannotBeWrittenIsRefused) {
    EXPECT_FALSE(DownloadFile(Url("/files/small.txt"), dir.path / "missing-folder" / "update.zip"));
    EXPECT_FALSE(std::filesystem::exists(dir.path / "missing-folder"));

    std::filesystem::create_directory(Destination());
    WriteBytes(Destination() / "inside.txt", kOldContent);
    EXPECT_FALSE(DownloadFile(Url("/files/small.txt"), Destination()));
    EXPECT_EQ(ReadBytes(Destination() / "inside.txt"), kOldContent);
    EXPECT_EQ(Names(), std::vector<std::string>{"update.zip"});
}

TEST_F(DownloadFileTest, SlowButSteadyBodyCompletes) {
    ASSERT_TRUE(DownloadFile(Url("/slow"), Destination()));
    EXPECT_EQ(ReadBytes(Destination()), std::string(40, 's'));
}

// The one slow test: headers and a little of the body, then silence. Only the
// 30-second no-data limit can end this download.
TEST_F(DownloadFileTest, StalledBodyIsRefusedAfterTheNoDataLimit) {
    WriteBytes(Destination(), kOldContent);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(DownloadFile(Url("/stall-body"), Destination()));
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 29) << "ended by the server or an error, not by the limit";
    EXPECT_EQ(ReadBytes(Destination()), kOldContent);
    EXPECT_EQ(Names(), std::vector<std::string>{"update.zip"});
}

// Packages whose download is cut once: continued where the part ends when the
// answer continues it exactly, started again from byte 0 otherwise.
TEST_F(DownloadFileTest, PackageDownloadsContinueOnlyWhatMatches) {
    const std::string whole = ServedBytes("files/large.bin");
    const std::string half = "bytes=" + std::to_string(whole.size() / 2) + "-";
    struct Row {
        const char* path;
        std::vector<std::string> ranges;  // asked for by each request
    } rows[] = {
        {"/resume-at-90", {"", "bytes=" + std::to_string(whole.size() * 9 / 10) + "-"}},
        {"/ignores-range", {"", half}},
        {"/shifted-range", {"", half, ""}},
        {"/changed-etag", {"", half, ""}},
        {"/busy", {"", ""}},
    };
    for (const Row& row : rows) {
        std::filesystem::remove(Destination());
        ASSERT_TRUE(DownloadPackage(Url(row.path), Destination(), PackageCheck{})) << row.path;
        EXPECT_TRUE(ReadBytes(Destination()) == whole) << row.path;
        std::vector<std::string> ranges;
        std::uint64_t served = 0;
        for (const ServerEvent& e : EventsOnPort(PortOf(TrustedBase()))) {
            if (e.path != row.path) continue;
            if (e.event == "request") ranges.push_back(e.range);
            if (e.event == "response") served += e.bytes;
        }
        EXPECT_EQ(ranges, row.ranges) << row.path;
        if (row.path == std::string("/resume-at-90")) {
            EXPECT_LE(served, whole.size() + (1 << 20)) << "at most 1 MiB fetched twice";
        }
    }
    EXPECT_EQ(Names(), std::vector<std::string>{"update.zip"}) << "no part or record left";
}

TEST_F(DownloadFileTest, GivenUpPackageResumesAtTheNextStart) {
    EXPECT_FALSE(DownloadPackage(Url("/next-start"), Destination(), PackageCheck{}));
    EXPECT_EQ(Names(), (std::vector<std::string>{"update.zip.part", "update.zip.resume.part"}));
    ASSERT_TRUE(DownloadPackage(Url("/next-start"), Destination(), PackageCheck{}));
    EXPECT_TRUE(ReadBytes(Destination()) == ServedBytes("files/large.bin"));
    std::vector<ServerEvent> events = EventsOnPort(PortOf(TrustedBase()));
    std::erase_if(events, [](const ServerEvent& e) { return e.event != "request"; });
    EXPECT_EQ(events.back().range, "bytes=" + std::to_string(ServedBytes("files/large.bin").size() / 2) + "-");
}

TEST_F(DownloadFileTest, VersionFileOver64KilobytesIsRefusedUnstored) {
    for (const char* path : {"/huge", "/huge-chunked"}) {
        WriteBytes(Destination(), kOldContent);
        EXPECT_FALSE(DownloadVersionFile(Url(path), Destination())) << path;
        EXPECT_EQ(ReadBytes(Destination()), kOldContent) << path;
        EXPECT_EQ(Names(), std::vector<std::string>{"update.zip"}) << path;
    }
}
