#include <optional>
#include <regex>
#include <thread>

#include "base/log.h"
#include "test_support.h"

namespace {

std::string LittleEndian(std::uint64_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i, value >>= 8) out += static_cast<char>(value & 0xFF);
    return out;
}

}  // namespace

// Stamp file (none, or its bytes) and the moment now -> whether the log is
// emptied; the stamp then holds now, else it stays as it was.
TEST(TruncateLogIfDueAt, DecidesByTheStoredMoment) {
    constexpr std::int64_t now = 1'750'000'000;
    const std::tuple<std::optional<std::string>, std::int64_t, bool> cases[] = {
        {std::nullopt, now, true},
        {LittleEndian(0, 8), now, true},
        {"", now, true},
        {LittleEndian(now + 5, 8), now, true},  // in the future: the stored moment moves back
        {LittleEndian(now - 86400, 8), now, true},
        {LittleEndian(now - 86399, 8), now, false},
        {LittleEndian(now, 4), now + 100, false},           // four bytes are the low half
        {LittleEndian(now, 8) + "junk", now + 100, false},  // bytes after the eighth are ignored
        {LittleEndian(now, 8) + "junk", now + 90000, true},
    };
    for (const auto& [stamp, at, emptied] : cases) {
        ScratchDir dir;
        WriteBytes(dir.path / "updater.log", "old\r\n");
        if (stamp) WriteBytes(dir.path / "updater.log.ts", *stamp);
        TruncateLogIfDueAt(dir.path, at);
        EXPECT_EQ(ReadBytes(dir.path / "updater.log").empty(), emptied) << testing::PrintToString(stamp);
        EXPECT_EQ(ReadBytes(dir.path / "updater.log.ts"), emptied ? LittleEndian(at, 8) : *stamp);
    }
}

TEST(FormatLogLine, StampAndOneBytePerCharacter) {
    std::tm t{};
    t.tm_year = 125, t.tm_mon = 2, t.tm_mday = 4, t.tm_hour = 7, t.tm_min = 8, t.tm_sec = 9;
    const std::pair<std::wstring, std::string> cases[] = {
        {L"", ""},
        {L"caf\u00e9 \u00ff", "caf\xE9 \xFF"},
        {L"a \u2192 b \uFFFD", "a ? b ?"},
        {L"x\U0001F600y", "x?y"},  // one mark per character
        {std::wstring(L"1\0"
                      L"2",
             3),
            std::string("1\0"
                        "2",
                3)},
    };
    for (const auto& [message, text] : cases)
        EXPECT_EQ(FormatLogLine(t, message), "[2025-03-04 07:08:09] " + text + "\r\n");
}

TEST(LogLine, WritesNothingWhileClosedThenAppendsStampedLines) {
    CloseLog();
    LogLine(L"lost");  // harmless
    OpenLog(ScratchDir().path / "missing-dir" / "updater.log");
    EXPECT_FALSE(IsLogOpen());
    LogCapture capture;
    LogLine(L"first");
    LogLine(L"\u00e9 \u2192 later lines still arrive");
    EXPECT_EQ(capture.Messages(), (std::vector<std::string>{"first", "\xE9 ? later lines still arrive"}));
}

TEST(LogLine, TwoThreadsNeverTearALine) {
    LogCapture capture;
    auto writer = [](char tag) {
        for (int i = 0; i < 10000; ++i) LogLine(std::wstring(1, tag) + L" line " + std::to_wstring(i) + L" end");
    };
    std::thread a(writer, 'A'), b(writer, 'B');
    a.join();
    b.join();
    std::istringstream in(ReadBytes(capture.dir.path / "updater.log"));
    const std::regex shape(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] ([AB]) line (\d+) end\r)");
    int next[2] = {0, 0};
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
        ASSERT_TRUE(std::regex_match(line, m, shape)) << "torn line: " << line;
        EXPECT_EQ(std::stoi(m[2]), next[m[1] == "A" ? 0 : 1]++) << "lines of one thread stay in order";
    }
    EXPECT_EQ(next[0] + next[1], 20000);
}
