// Downloads against a scripted server on a fake clock: resuming, starting again
// from zero instead of splicing, retries and when they end, version.txt's
// limits, and the progress they report.

#include <gtest/gtest.h>

#include <algorithm>

#include "base/text.h"
#include "base/work_progress.h"
#include "delta/remote_package.h"
#include "net/download.h"
#include "net/download_limits.h"
#include "net/ranged_transfer.h"
#include "net/update_server.h"
#include "test_support.h"
#include "worker/progress_span.h"
#include "worker/room_check.h"

using namespace std::chrono_literals;

namespace {

// One answer of the scripted server.
struct Answer {
    long status = 200;
    bool ranges = true;                       // a Range gets 206 when If-Range matches
    std::string etag = "\"v1\"";              // the file's validator in this answer
    std::uint64_t shift = 0;                  // the range served starts this much later than asked
    std::optional<std::uint64_t> cutAfter{};  // body bytes, then the connection drops
    std::optional<std::uint64_t> length{};    // Content-Length announced instead of the body's
    std::string retryAfter{};
    int silentSeconds = -1;    // 0 or more: no answer, the connection ends after this long
    bool asksNothing = false;  // that wait asks keepGoing nothing and ends only at a deadline, as WinHTTP's
    bool chunked = false;      // no Content-Length
    int secondsPerByte = 0;    // a trickle
    int msPerChunk = 1;        // 4 KiB chunks
    bool unreachable = false;
    std::uint64_t surplus = 0;  // a 206 without a length whose body goes on this far past its range
};

struct ScriptedServer {
    std::string file;
    std::vector<Answer> script{};       // one per request; the last one repeats
    std::vector<std::string> ranges{};  // Range header of each request
    std::uint64_t served = 0;           // bytes of the file
    std::uint64_t pastRange = 0;        // bytes sent past an answer's range
    DownloadClock::time_point now{};
    std::vector<double> waits{};  // seconds slept between attempts

    double Elapsed() const { return std::chrono::duration<double>(now.time_since_epoch()).count(); }

    DownloadEnvironment Environment() {
        return {[this] { return now; },
            [this](DownloadClock::duration delay) {
                now += delay;
                waits.push_back(std::chrono::duration<double>(delay).count());
            },
            [] { return 0.2; }, [this](const HttpRequest& r, const HttpHandlers& h) { return Get(r, h); }};
    }

    HttpOutcome Silence(const Answer& answer, const HttpRequest& request, const HttpHandlers& handlers) {
        for (int second = 0; second < answer.silentSeconds; ++second) {
            if (now >= std::min(request.deadline, request.headDeadline)) return {HttpEnd::Failed, L"out of time"};
            now += 1s;
            if (!answer.asksNothing && !handlers.keepGoing()) return {HttpEnd::Stopped, L"stopped"};
        }
        return {HttpEnd::Failed, L"timed out"};
    }

    HttpOutcome Get(const HttpRequest& request, const HttpHandlers& handlers) {
        const Answer answer = script[std::min(ranges.size(), script.size() - 1)];
        ranges.push_back(request.range);
        if (answer.unreachable) return {HttpEnd::Unreachable, L"no route"};
        if (answer.silentSeconds >= 0) return Silence(answer, request, handlers);
        HttpHead head{answer.status, {}, {}, answer.etag, {}, answer.retryAfter};
        std::uint64_t from = 0;
        const bool validatorHolds = request.ifRange.empty() || request.ifRange == answer.etag;
        std::size_t last = file.size() - 1;
        if (answer.status == 200 && answer.ranges && !request.range.empty() && validatorHolds) {
            const std::size_t dash = request.range.find('-');
            from = std::stoull(request.range.substr(6)) + answer.shift;
            if (dash + 1 < request.range.size()) last = std::stoull(request.range.substr(dash + 1)) + answer.shift;
            head.status = 206;
            head.contentRange =
                "bytes " + std::to_string(from) + "-" + std::to_string(last) + "/" + std::to_string(file.size());
        }
        const std::string body = answer.status == 200 ? file.substr(from, last + 1 - from) : "busy";
        if (!answer.chunked && answer.surplus == 0) head.contentLength = answer.length.value_or(body.size());
        if (!handlers.head(head)) return {HttpEnd::Stopped, L"stopped"};
        const std::uint64_t end =
            std::min<std::uint64_t>(body.size() + answer.surplus, answer.cutAfter.value_or(UINT64_MAX));
        const std::size_t chunk = answer.secondsPerByte > 0 ? 1 : 4096;
        for (std::uint64_t at = 0; at < end; at += chunk) {
            now += answer.secondsPerByte > 0 ? DownloadClock::duration(1s * answer.secondsPerByte)
                                             : DownloadClock::duration(1ms * answer.msPerChunk);
            if (!handlers.keepGoing()) return {HttpEnd::Stopped, L"stopped"};
            const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, end - at));
            std::string piece = body.substr(std::min<std::size_t>(at, body.size()), size);
            piece.resize(size, '+');  // past the range
            const std::uint64_t ofBody =
                std::min<std::uint64_t>(size, body.size() - std::min<std::uint64_t>(at, body.size()));
            if (answer.status == 200) served += ofBody;  // a status page is none of the file
            pastRange += size - ofBody;
            if (!handlers.body(piece.data(), size)) return {HttpEnd::Stopped, L"stopped"};
        }
        return end < body.size() ? HttpOutcome{HttpEnd::Failed, L"connection cut"} : HttpOutcome{HttpEnd::Complete, {}};
    }
};

const std::wstring kUrl = L"https://localhost/updates/update.zip";
constexpr std::uint64_t kSize = 1 << 20;
constexpr std::uint64_t kHalf = kSize / 2;
constexpr std::uint64_t kNinety = kSize * 9 / 10;

std::string FileBytes() {
    std::string bytes(kSize, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7919) >> 8);
    return bytes;
}

PackageCheck CheckOf(const std::string& bytes) {
    Sha256Digest digest{};
    Sha256Of(bytes, digest);
    return {DigestToHex(digest), std::to_string(bytes.size())};
}

struct PackageDownloadTest : testing::Test {
    LogCapture log;
    ScratchDir dir{"package"};
    std::filesystem::path destination = dir.path / "update.zip";
    ScriptedServer server{FileBytes()};
    PackageCheck check = CheckOf(server.file);

    std::string replay;      // the bytes shown as stored, each at its offset
    std::uint64_t seen = 0;  // how many were shown

    bool Download(std::vector<Answer> script, const HeldTail* tail = nullptr) {
        server.script = std::move(script);
        server.ranges.clear();
        replay.clear();
        seen = 0;
        DownloadEnvironment environment = server.Environment();
        environment.stored = [this](std::uint64_t offset, const char* data, std::size_t size) {
            seen += size;
            replay.resize(std::max<std::size_t>(replay.size(), offset + size));
            replay.replace(offset, size, data, size);
        };
        return DownloadPackage(kUrl, destination, check, environment, tail);
    }
};

std::string From(std::uint64_t offset) { return "bytes=" + std::to_string(offset) + "-"; }
std::string Before(std::uint64_t offset) { return "bytes=0-" + std::to_string(offset - 1); }

}  // namespace

TEST_F(PackageDownloadTest, RetriesResumeOrStartAgainButNeverSplice) {
    struct Row {
        const char* name;
        std::vector<Answer> script;
        bool stored;
        std::vector<std::string> ranges;  // asked for by each request
        std::vector<double> waits;
        double servedShare;                  // bytes served against the file's size
        const char* declaredSize = nullptr;  // update-size, when not the file's
        bool heldTail = false;               // the last tenth of "v1" is at hand
    } rows[] = {
        {"cut at 90 %, resumed", {{.cutAfter = kNinety}, {}}, true, {"", From(kNinety)}, {0.85}, 1.0},
        {"200 instead of 206", {{.cutAfter = kHalf}, {.ranges = false}}, true, {"", From(kHalf)}, {0.85}, 1.5},
        {"wrong Content-Range start", {{.cutAfter = kHalf}, {.shift = 10}, {}}, true, {"", From(kHalf), ""}, {0.85},
            1.5},
        {"206 running past its end", {{.cutAfter = kHalf}, {.surplus = 1}, {}}, true, {"", From(kHalf), ""}, {0.85},
            2.0},
        {"503 with Retry-After: 2, then 200", {{.status = 503, .retryAfter = "2"}, {}}, true, {"", ""}, {2.1}, 1.0},
        {"500, then 200", {{.status = 500}, {}}, true, {"", ""}, {0.85}, 1.0},
        {"Retry-After over 30 s", {{.status = 503, .retryAfter = "300"}, {}}, true, {"", ""}, {30}, 1.0},
        {"five failures in a row", {{.silentSeconds = 0}}, false, {"", "", "", "", ""}, {0.85, 1.7, 3.4, 6.8}, 0},
        {"404 is not retried", {{.status = 404}}, false, {""}, {}, 0},
        {"declared size smaller than the Content-Length", {{}}, false, {""}, {}, 0, "119"},
        {"declared size smaller than a chunked body", {{.chunked = true}}, false, {""}, {}, 4096.0 / kSize, "119"},
        {"cut without a validator", {{.etag = "", .cutAfter = kHalf}, {.etag = ""}}, true, {"", ""}, {0.85}, 1.5},
        {"a file that keeps changing",
            {{.cutAfter = kHalf}, {.etag = "\"v2\"", .cutAfter = kHalf}, {.etag = "\"v3\"", .cutAfter = kHalf},
                {.etag = "\"v4\"", .cutAfter = kHalf}, {.etag = "\"v5\""}},
            false, {"", From(kHalf), From(kHalf), From(kHalf), From(kHalf)}, {0.85, 0.85, 0.85, 0.85}, 2.0},
        {"held tail: only what lies before it", {{}}, true, {Before(kNinety)}, {}, 0.9, nullptr, true},
        {"held tail, cut, resumed", {{.cutAfter = kHalf}, {}}, true,
            {Before(kNinety), "bytes=" + std::to_string(kHalf) + "-" + std::to_string(kNinety - 1)}, {0.85}, 0.9,
            nullptr, true},
        {"held tail of a file that changed: its whole answer is the download", {{.etag = "\"v2\""}}, true,
            {Before(kNinety)}, {}, 1.0, nullptr, true},
    };
    const HeldTail tail{kNinety, kSize, "\"v1\"", kUrl, dir.path / "tail"};
    WriteBytes(tail.file, FileBytes().substr(kNinety));
    for (auto& row : rows) {
        server = ScriptedServer{FileBytes()};
        std::filesystem::remove(destination);
        check.size = row.declaredSize ? row.declaredSize : std::to_string(kSize);
        EXPECT_EQ(Download(row.script, row.heldTail ? &tail : nullptr), row.stored) << row.name;
        EXPECT_EQ(server.ranges, row.ranges) << row.name;
        EXPECT_EQ(server.waits, row.waits) << row.name;
        EXPECT_EQ(server.served, static_cast<std::uint64_t>(row.servedShare * kSize)) << row.name;
        EXPECT_TRUE(!row.stored || ReadBytes(destination) == server.file) << row.name;
        // Whoever unpacks as the bytes arrive sees each stored one once, where it belongs, the held ones too.
        const std::uint64_t held = row.heldTail && server.served < kSize ? kSize - kNinety : 0;
        EXPECT_TRUE(!row.stored || (seen == server.served + held && replay == server.file)) << row.name;
    }
    for (const char* line : {"update.zip: status 503 (Retry-After 2 s) at byte 0; attempt 2 in 2.1 s",
             "update.zip cannot be downloaded: status 404 (no such file on the server)",
             "update.zip does not match version.txt: size expected 119, the server's file has 1048576",
             "update.zip does not match version.txt: larger than 119 bytes"})
        EXPECT_EQ(std::ranges::count(log.Messages(), line), 1) << line;
}

TEST_F(PackageDownloadTest, SilenceAndTrickleAreGivenUpAfterTwoMinutes) {
    for (Answer answer :
        {Answer{.silentSeconds = 30}, Answer{.silentSeconds = 90, .asksNothing = true}, Answer{.secondsPerByte = 20}}) {
        server = ScriptedServer{FileBytes()};
        EXPECT_FALSE(Download({answer}));
        EXPECT_GE(server.Elapsed(), kLongestWithoutProgress.count());
        EXPECT_LE(server.Elapsed(), kLongestWithoutProgress.count() + 1);
    }
}

// Two servers, "a" first and "b" second, on one clock: a failed attempt moves
// to the next server with the usual back-off; a checked release continues
// there by range, an unchecked one starts again from byte 0; a server whose
// file is of another release passes the turn.
TEST_F(PackageDownloadTest, AFailedAttemptMovesToTheNextServer) {
    const std::vector<std::wstring> urls = {L"https://a/updates/update.zip", L"https://b/updates/update.zip"};
    std::string otherRelease = FileBytes();
    otherRelease[1000] ^= 1;
    struct Row {
        const char* name;
        std::vector<Answer> a, b;
        bool checked;
        std::vector<std::string> rangesA, rangesB;
        const char* line;  // logged
        bool otherReleaseOnA = false;
        bool tailFromA = false;  // the last tenth, as the differential update read it from a
    } rows[] = {
        {"connection refused", {{.unreachable = true}}, {{}}, true, {""}, {""},
            "update.zip: no route at byte 0; attempt 2 in 0.8 s from b"},
        {"503", {{.status = 503}}, {{}}, true, {""}, {""}, "update.zip came from b"},
        {"stalling", {{.silentSeconds = 30}}, {{}}, true, {""}, {""}, "update.zip came from b"},
        {"another release's package", {{}}, {{}}, true, {""}, {""},
            "update.zip from a is not the release version.txt names; asking b", true},
        {"cut, checked: continued by range", {{.cutAfter = kHalf}}, {{}}, true, {""}, {From(kHalf)},
            "update.zip came from a, then b"},
        {"cut, unchecked: started again", {{.cutAfter = kHalf}}, {{}}, false, {""}, {""},
            "update.zip: an unchecked release is not continued from another server; starting again from byte 0"},
        {"held tail, cut, checked: b gives what lies before it", {{.cutAfter = kHalf}}, {{}}, true, {Before(kNinety)},
            {"bytes=" + std::to_string(kHalf) + "-" + std::to_string(kNinety - 1)},
            "update.zip came from a, then b, then a", false, true},
        {"held tail, cut, unchecked: b gives all, the tail is dropped", {{.cutAfter = kHalf}}, {{}}, false,
            {Before(kNinety)}, {""},
            "update.zip: an unchecked release is not continued from another server; starting again from byte 0", false,
            true},
    };
    const HeldTail tail{kNinety, kSize, "\"v1\"", urls.front(), dir.path / "tail"};
    WriteBytes(tail.file, FileBytes().substr(kNinety));
    for (const Row& row : rows) {
        ScriptedServer a{row.otherReleaseOnA ? otherRelease : FileBytes(), row.a};
        ScriptedServer b{FileBytes(), row.b};
        DownloadEnvironment environment = a.Environment();
        environment.get = [&](const HttpRequest& request, const HttpHandlers& handlers) {
            if (ServerOf(request.url) == L"a") return a.Get(request, handlers);
            b.now = a.now;
            const HttpOutcome outcome = b.Get(request, handlers);
            a.now = b.now;
            return outcome;
        };
        std::filesystem::remove(destination);
        const std::size_t linesBefore = log.Messages().size();
        const PackageCheck check = row.checked ? CheckOf(FileBytes()) : PackageCheck{};
        EXPECT_TRUE(DownloadPackage(urls, destination, check, environment, row.tailFromA ? &tail : nullptr))
            << row.name;
        EXPECT_TRUE(ReadBytes(destination) == FileBytes()) << row.name;
        EXPECT_EQ(a.ranges, row.rangesA) << row.name;
        EXPECT_EQ(b.ranges, row.rangesB) << row.name;
        const auto lines = log.Messages();
        EXPECT_EQ(std::count(lines.begin() + static_cast<std::ptrdiff_t>(linesBefore), lines.end(), row.line), 1)
            << row.name;
    }
}

// The differential update's ranges: a checked release's continue on the next
// server, an unchecked one's fall back to the whole package once a server
// has answered (before, any server may).
TEST_F(PackageDownloadTest, RangesComeFromTwoServersOnlyForACheckedRelease) {
    const std::vector<std::wstring> urls = {L"https://a/updates/update.zip", L"https://b/updates/update.zip"};
    const struct {
        bool checked;
        Answer a;
        RemoteEnd end;
        std::vector<std::string> rangesOfB;
    } rows[] = {
        {true, {.etag = "\"a\"", .cutAfter = 1000}, RemoteEnd::Complete, {"bytes=1100-5099"}},
        {false, {.etag = "\"a\"", .cutAfter = 1000}, RemoteEnd::FallBack, {}},
        {false, {.unreachable = true}, RemoteEnd::Complete, {"bytes=100-5099"}},
    };
    for (const auto& row : rows) {
        ScriptedServer a{FileBytes(), {row.a}};
        ScriptedServer b{FileBytes(), {{.etag = "\"b\""}}};
        DownloadEnvironment environment = a.Environment();
        environment.get = [&](const HttpRequest& request, const HttpHandlers& handlers) {
            return ServerOf(request.url) == L"a" ? a.Get(request, handlers) : b.Get(request, handlers);
        };
        RemotePackage package = StartRemotePackage(urls, kSize, environment, row.checked);
        std::string received;
        const RemoteRead read = ReadRemoteRange(package, 100, 5100, [&](const char* data, std::size_t size) {
            received.append(data, size);
            return true;
        });
        EXPECT_EQ(read.end, row.end) << row.checked;
        EXPECT_EQ(b.ranges, row.rangesOfB) << row.checked;
        EXPECT_TRUE(read.end != RemoteEnd::Complete || received == FileBytes().substr(100, 5000));
    }
}

// version.txt from the first server whose answer is accepted, within one 30 s budget.
TEST_F(PackageDownloadTest, VersionFileFromTheFirstServerThatAnswers) {
    const std::vector<std::wstring> urls = {L"https://a/updates/version.txt", L"https://b/updates/version.txt"};
    struct Row {
        const char* name;
        Answer a;
        std::string fileA;
        VersionFetch fetch;
        std::size_t asksOfB;
    } rows[] = {
        {"refused by its check", {}, "unsigned", VersionFetch::Accepted, 1},
        {"too large", {.length = 100 << 20}, "good", VersionFetch::Accepted, 1},
        {"connection refused", {.unreachable = true}, "good", VersionFetch::Accepted, 1},
        {"accepted", {}, "good", VersionFetch::Accepted, 0},
    };
    for (const Row& row : rows) {
        ScriptedServer a{row.fileA, {row.a}};
        ScriptedServer b{"good", {{}}};
        DownloadEnvironment environment = a.Environment();
        environment.get = [&](const HttpRequest& request, const HttpHandlers& handlers) {
            return ServerOf(request.url) == L"a" ? a.Get(request, handlers) : b.Get(request, handlers);
        };
        const auto accept = [](const std::filesystem::path& file) { return ReadBytes(file) == "good"; };
        EXPECT_EQ(DownloadVersionFile(urls, destination, accept, environment), row.fetch) << row.name;
        EXPECT_EQ(b.ranges.size(), row.asksOfB) << row.name;
        EXPECT_EQ(ReadBytes(destination), "good") << row.name;
    }
    ScriptedServer a{"good", {{.unreachable = true}}};
    DownloadEnvironment environment = a.Environment();
    EXPECT_EQ(DownloadVersionFile(
                  urls, destination, [](const auto&) { return true; }, environment),
        VersionFetch::Failed)
        << "every server unreachable: no retries";
    EXPECT_EQ(a.ranges.size(), 2u);
}

TEST(ParseServerList, CommaSeparatedInOrder) {
    using List = std::vector<std::wstring>;
    EXPECT_EQ(ParseServerList(L"updates.example.com"), List{L"updates.example.com"});
    EXPECT_EQ(ParseServerList(L"cdn-a.example.com, cdn-b.example.com:8443 ,,updates.example.com"),
        (List{L"cdn-a.example.com", L"cdn-b.example.com:8443", L"updates.example.com"}));
    EXPECT_EQ(ParseServerList(L" , "), List{});
    EXPECT_EQ(ServerOf(L"https://cdn-b.example.com:8443/updates/update.zip"), L"cdn-b.example.com:8443");
}

TEST(PreferringServer, MovesOnlyTheServerThatAnsweredToTheFront) {
    using List = std::vector<std::wstring>;
    const List urls{L"https://a/u.zip", L"https://b:8443/u.zip", L"https://c/u.zip"};
    EXPECT_EQ(
        PreferringServer(urls, L"b:8443"), (List{L"https://b:8443/u.zip", L"https://a/u.zip", L"https://c/u.zip"}));
    EXPECT_EQ(PreferringServer(urls, L"c"), (List{L"https://c/u.zip", L"https://a/u.zip", L"https://b:8443/u.zip"}));
    EXPECT_EQ(PreferringServer(urls, L"b"), urls) << "another port is another server";
    EXPECT_EQ(PreferringServer(urls, L""), urls);
}

TEST_F(PackageDownloadTest, NextStartResumesTheSameReleaseOnly) {
    ASSERT_FALSE(Download({{.cutAfter = kHalf}, {.status = 404}}));
    EXPECT_EQ(std::filesystem::file_size(dir.path / "update.zip.part"), kHalf) << "kept for the next start";
    ASSERT_TRUE(Download({{}}));
    EXPECT_EQ(server.ranges, std::vector<std::string>{From(kHalf)});
    EXPECT_TRUE(ReadBytes(destination) == server.file);
    EXPECT_EQ(seen, kSize) << "the part on disk first, then the rest, each byte once";
    EXPECT_TRUE(replay == server.file);
    EXPECT_FALSE(std::filesystem::exists(dir.path / "update.zip.resume.part"));

    ASSERT_FALSE(Download({{.cutAfter = kHalf}, {.status = 404}}));
    WriteBytes(dir.path / "update.zip.part", server.file);  // stopped after its last byte
    ASSERT_TRUE(Download({{}}));
    EXPECT_EQ(server.ranges, std::vector<std::string>{From(kSize - 1)}) << "the last byte confirms the file";

    ASSERT_FALSE(Download({{.cutAfter = kHalf}, {.status = 404}}));
    check = CheckOf(server.file.substr(1));  // another version.txt
    EXPECT_FALSE(Download({{}}));
    EXPECT_EQ(server.ranges, std::vector<std::string>{""}) << "the other release's part is not continued";
}

// The first byte alone tells whether ranges are served, and leaves nothing; a whole answer to it is the download.
TEST_F(PackageDownloadTest, AProbeLeavesNothingAndAWholeAnswerIsTheDownload) {
    const struct {
        const char* name;
        Answer answer;
        bool room;
        PackageProbe probe;
        std::uint64_t served;
    } rows[] = {
        {"206: its head tells the size and validator", {}, true, PackageProbe::RangesServed, 0},
        {"200: the whole package, once", {.ranges = false}, true, PackageProbe::Downloaded, kSize},
        {"200 without room: cut at its head", {.ranges = false}, false, PackageProbe::NoRoom, 0},
    };
    for (const auto& row : rows) {
        server = ScriptedServer{FileBytes(), {row.answer}};
        std::filesystem::remove(destination);
        ProbedPackage probed;
        std::uint64_t roomAsked = 0;
        const auto roomFor = [&](std::uint64_t total) { return (roomAsked = total), row.room; };
        EXPECT_EQ(ProbePackage({kUrl}, destination, check, server.Environment(), roomFor, probed), row.probe)
            << row.name;
        EXPECT_EQ(server.ranges, std::vector<std::string>{"bytes=0-0"}) << row.name;
        EXPECT_EQ(server.served, row.served) << row.name;
        ExpectTree(ReadTree(dir.path, "update.zip"), {});  // no part, no record
        EXPECT_EQ(roomAsked, row.answer.ranges ? 0 : kSize) << row.name;
        EXPECT_TRUE(row.probe != PackageProbe::Downloaded || ReadBytes(destination) == server.file) << row.name;
        if (row.probe != PackageProbe::RangesServed) continue;
        EXPECT_EQ(probed.total, kSize);
        EXPECT_EQ(probed.validator, "\"v1\"");
    }
    // A server that does not answer passes the probe on; the one that answered is named.
    server = ScriptedServer{FileBytes(), {{.unreachable = true}, {}}};
    ProbedPackage probed;
    EXPECT_EQ(
        ProbePackage({L"https://a/updates/update.zip", kUrl}, destination, check, server.Environment(), {}, probed),
        PackageProbe::RangesServed);
    EXPECT_EQ(probed.url, kUrl);
}

TEST_F(PackageDownloadTest, AResumedPackageIsCheckedWhole) {
    ASSERT_FALSE(Download({{.cutAfter = kHalf}, {.status = 404}}));
    std::string part = ReadBytes(dir.path / "update.zip.part");
    part[10] ^= 1;
    WriteBytes(dir.path / "update.zip.part", part);
    // The part's bytes may be what a power cut left: the whole file is fetched once more.
    EXPECT_TRUE(Download({{}}));
    EXPECT_EQ(server.ranges, (std::vector<std::string>{From(kHalf), ""}));
    EXPECT_EQ(log.Messages().back(), "update.zip: the resumed download does not match; starting again from byte 0");
    EXPECT_EQ(ReadBytes(destination), server.file);
}

TEST_F(PackageDownloadTest, VersionFileWithinThirtySecondsAndSixtyFourKilobytes) {
    const std::wstring url = L"https://localhost/updates/version.txt";
    server.script = {{.silentSeconds = 1000}};
    EXPECT_FALSE(DownloadVersionFile(url, destination, server.Environment()));
    EXPECT_LE(server.Elapsed(), kVersionFileDeadline.count());

    server = ScriptedServer{std::string(100, 'v'), {{.unreachable = true}, {}}};
    EXPECT_FALSE(DownloadVersionFile(url, destination, server.Environment())) << "offline: no retries";
    EXPECT_EQ(server.ranges.size(), 1u);

    server = ScriptedServer{std::string(100, 'v'), {{.length = 100 << 20}}};
    EXPECT_FALSE(DownloadVersionFile(url, destination, server.Environment()));
    EXPECT_EQ(server.served, 0u);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path)) << "nothing stored";
    EXPECT_EQ(log.Messages().back(), "version.txt refused: larger than 65536 bytes");
}

// The values a stage's span posts while a package arrives at 100 KiB/s.
TEST_F(PackageDownloadTest, ProgressRisesSteadilyBetweenTheStageValues) {
    ProgressSpan span{15, 35, WorkUnit::Bytes, 0, server.now};
    std::vector<int> posted;
    WatchWork([&](std::uint64_t done, std::uint64_t total) {
        if (auto percent = SpanPercent(span, done, total, server.now)) posted.push_back(*percent);
    });
    ASSERT_TRUE(Download({{.msPerChunk = 40}}));
    WatchWork({});
    EXPECT_LE(static_cast<double>(posted.size()), server.Elapsed() * 4 + 1) << "at most four posts a second";
    EXPECT_GE(static_cast<double>(posted.size()), server.Elapsed() * 3);
    EXPECT_TRUE(std::is_sorted(posted.begin(), posted.end()));
    EXPECT_TRUE(posted.front() == 15 || posted.front() == 16) << posted.front();
    EXPECT_TRUE(posted.back() == 34 || posted.back() == 35) << posted.back();
    EXPECT_EQ(DescribeAmount(312 << 20, 1024 << 20, WorkUnit::Bytes), L"312 / 1024 MB");
    EXPECT_EQ(DescribeAmount(5 << 20, 10 << 20, WorkUnit::Bytes), L"5 / 10 MB");
    EXPECT_EQ(DescribeAmount(120, 5000, WorkUnit::Files), L"120 / 5000 files");
    // The room check's figures: what is needed rounded up, what is free down.
    EXPECT_EQ(MegabytesText(1234ull << 20, false), L"1,234");
    EXPECT_EQ(MegabytesText((1234567ull << 20) + 1, true), L"1,234,568");
    EXPECT_EQ(MegabytesText((999ull << 20) + 1, false), L"999");
}

// A body without a length outgrowing its limit, or a failed write, ends the transfer at once.
TEST_F(PackageDownloadTest, TransfersEndAtTheFirstByteTooManyOrNotWritten) {
    std::uint64_t sent = 0;
    const HttpGetFunction endless = [&](const HttpRequest&, const HttpHandlers& handlers) {
        handlers.head(HttpHead{200});
        for (sent = 0; sent < kSize && handlers.body(server.file.data(), 4096); sent += 4096) {}
        return HttpOutcome{HttpEnd::Complete, {}};
    };
    EXPECT_EQ(FetchRange({.url = kUrl, .sizeLimit = 65536}, destination, {}, endless).end, RangeEnd::TooLarge);
    EXPECT_EQ(sent, 65536u);
    if (!std::filesystem::exists("/dev/full")) return;  // POSIX only
    EXPECT_EQ(FetchRange({.url = kUrl}, "/dev/full", {}, endless).end, RangeEnd::FileError);
    EXPECT_LT(sent, kSize / 2);
}

// A refused status page is read to its end, unstored, when it is small, so
// that the exchange completes and keeps its connection; a larger one ends the
// exchange as soon as its size shows.
TEST_F(PackageDownloadTest, ASmallStatusPageIsReadToItsEnd) {
    struct Row {
        const char* name;
        Answer answer;
        HttpEnd exchange;
    } rows[] = {
        {"a status page", {.status = 503}, HttpEnd::Complete},
        {"64 KiB without a length", {.status = 503, .chunked = true, .surplus = 65536 - 4}, HttpEnd::Complete},
        {"a byte more without a length", {.status = 503, .chunked = true, .surplus = 65536 - 3}, HttpEnd::Stopped},
        {"a length over 64 KiB", {.status = 503, .length = 65537}, HttpEnd::Stopped},
    };
    for (const Row& row : rows) {
        server = ScriptedServer{FileBytes(), {row.answer}};
        std::optional<HttpEnd> exchange;
        const HttpGetFunction get = [&](const HttpRequest& request, const HttpHandlers& handlers) {
            const HttpOutcome outcome = server.Get(request, handlers);
            exchange = outcome.end;
            return outcome;
        };
        std::filesystem::remove(destination);
        const RangeResult result = FetchRange({.url = kUrl}, destination, {}, get);
        EXPECT_EQ(exchange, row.exchange) << row.name;
        EXPECT_EQ(result.end, RangeEnd::Refused) << row.name;
        EXPECT_EQ(result.status, 503) << row.name;
        // Its ETag is the status page's: it names no version of the file.
        EXPECT_EQ(result.validator, "") << row.name;
        EXPECT_FALSE(std::filesystem::exists(destination)) << row.name;
    }
}

// The second target: exactly the accepted bytes of a slice, nothing of an
// answer that is refused, nothing past the end an answer promised.
TEST_F(PackageDownloadTest, ASinkGetsTheAcceptedBytesOnly) {
    const RangeRequest slice{.url = kUrl, .from = 100, .to = 5000, .validator = "\"v1\""};
    const RangeRequest tail{.url = kUrl, .from = kSize - 6000, .validator = "\"v1\""};
    constexpr std::uint64_t kEndless = 64 << 20;  // as good as endless: 13,000 times the slice
    struct Row {
        const char* name;
        Answer answer;
        bool sinkTakes;
        RangeEnd end;
        std::uint64_t received;  // bytes of the slice, in order from its start
        std::uint64_t served;    // of the file, before the answer ended
        std::uint64_t pastRange;
        const RangeRequest& request;
    } rows[] = {
        {"206 of the slice", {}, true, RangeEnd::Complete, 4900, 4900, 0, slice},
        {"another version of the file", {.etag = "\"v2\""}, true, RangeEnd::Mismatch, 0, 0, 0, slice},
        {"a range from another byte", {.shift = 10}, true, RangeEnd::Mismatch, 0, 0, 0, slice},
        {"a sink that takes nothing more", {}, false, RangeEnd::SinkRefused, 4096, 4096, 0, slice},
        {"a slice one byte too long", {.surplus = 1}, true, RangeEnd::Overlong, 4096, 4900, 1, slice},
        {"an endless slice", {.surplus = kEndless}, true, RangeEnd::Overlong, 4096, 4900, 4096 - 804, slice},
        {"a tail one byte too long", {.surplus = 1}, true, RangeEnd::Overlong, 4096, 6000, 1, tail},
        {"an endless tail", {.surplus = kEndless}, true, RangeEnd::Overlong, 4096, 6000, 4096 - 1904, tail},
    };
    for (const Row& row : rows) {
        server = ScriptedServer{FileBytes(), {row.answer}};
        std::string received;
        const RangeSink sink = [&](const char* data, std::size_t size) {
            received.append(data, size);
            return row.sinkTakes;
        };
        EXPECT_EQ(FetchRange(row.request, sink, {}, server.Environment().get).end, row.end) << row.name;
        EXPECT_TRUE(received == server.file.substr(row.request.from, row.received)) << row.name;
        EXPECT_EQ(server.served, row.served) << row.name;
        EXPECT_EQ(server.pastRange, row.pastRange) << row.name;
    }
}

// A ranged read of the differential update ends within 30 s plus its size at
// 16 KiB/s however the server trickles, and then falls back.
TEST_F(PackageDownloadTest, RangedReadsEndWithinTheirDeadline) {
    struct Row {
        const char* name;
        Answer answer;
        std::uint64_t from, to;
        RemoteEnd end;
        double seconds;  // on the server's clock, at most
    } rows[] = {
        {"63 bytes, a byte a second", {.secondsPerByte = 1}, 100, 163, RemoteEnd::FallBack, 30},
        {"1 MiB at 8 KiB/s", {.msPerChunk = 500}, 0, kSize, RemoteEnd::FallBack, 94},
        {"1 MiB at 32 KiB/s, over 30 s", {.msPerChunk = 125}, 0, kSize, RemoteEnd::Complete, 33},
    };
    for (const Row& row : rows) {
        server = ScriptedServer{FileBytes(), {row.answer}};
        const DownloadEnvironment environment = server.Environment();
        RemotePackage package = StartRemotePackage({kUrl}, kSize, environment);
        const RemoteRead read =
            ReadRemoteRange(package, row.from, row.to, [](const char*, std::size_t) { return true; });
        EXPECT_EQ(read.end, row.end) << row.name << " " << WideToUtf8(read.why);
        EXPECT_LE(server.Elapsed(), row.seconds + 1) << row.name;
        EXPECT_GE(server.Elapsed(), row.seconds - 1) << row.name;
    }
}
