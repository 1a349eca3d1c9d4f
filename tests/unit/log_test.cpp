#include <optional>
#include <regex>
#include <thread>

#include "services/log.h"
#include "test_support.h"

namespace {

std::string LittleEndian(std::uint64_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i, value >>= 8) out += static_cast<char>(value & 0xFF);
    return out;
}

}  // namespace

// Stamp file (none, or its bytes) and the moment now -> whether the log is
// emptied; the stamp then holds now, else it is left as it was.
TEST(TruncateLogIfDueAt, DecidesByTheStoredMoment) {
    constexpr std::int64_t now = 1'750'000'000;
    struct Case {
        std::optional<std::string> stamp;
        std::int64_t now;
        bool emptied;
    };
    const Case cases[] = {
        {std::nullopt, now, true},
        {LittleEndian(0, 8), now, true},
        {"", now, true},
        {LittleEndian(now + 5, 8), now, true},  // in the future: the stored moment moves back
        {LittleEndian(now - 86400, 8), now, true},
        {LittleEndian(now - 86399, 8), now, false},
        {LittleEndian(now, 4), now + 100, false},  // four bytes are the low half
        {LittleEndian(now, 8) + "junk", now + 100, false},  // bytes after the eighth are ignored
        {LittleEndian(now, 8) + "junk", now + 90000, true},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        WriteBytes(dir.path / "updater.log", "old\r\n");
        if (c.stamp) WriteBytes(dir.path / "updater.log.ts", *c.stamp);
        TruncateLogIfDueAt(dir.path, c.now);
        EXPECT_EQ(ReadBytes(dir.path / "updater.log").empty(), c.emptied) << testing::PrintToString(c.stamp);
        EXPECT_EQ(ReadBytes(dir.path / "updater.log.ts"), c.emptied ? LittleEndian(c.now, 8) : *c.stamp);
    }
}

TEST(FormatLogLine, StampAndOneBytePerCharacter) {
    std::tm t{};
    t.tm_year = 2025 - 1900;
    t.tm_mon = 2;
    t.tm_mday = 4;
    t.tm_hour = 7;
    t.tm_min = 8;
    t.tm_sec = 9;
    const std::pair<std::wstring, std::string> cases[] = {
        {L"UpdaterWorker started", "UpdaterWorker started"},
        {L"", ""},
        {L"caf\u00e9 \u00ff", "caf\xE9 \xFF"},
        {L"a \u2192 b \uFFFD", "a ? b ?"},
        {L"x\U0001F600y", "x?y"},  // one mark per character
        {std::wstring(L"1\0" L"2", 3), std::string("1\0" "2", 3)},
    };
    for (const auto& [message, text] : cases)
        EXPECT_EQ(FormatLogLine(t, message), "[2025-03-04 07:08:09] " + text + "\r\n");
}

TEST(LogLine, WritesNothingWhileClosedThenAppendsStampedLines) {
    CloseLog();
    LogLine(L"lost");  // harmless
    ScratchDir dir;
    OpenLog(dir.path / "missing-dir" / "updater.log");
    EXPECT_FALSE(IsLogOpen());
    LogCapture capture;
    ASSERT_TRUE(IsLogOpen());
    LogLine(L"first");
    LogLine(L"\u00e9 \u2192 later lines still arrive");
    EXPECT_EQ(capture.Messages(), (std::vector<std::string>{"first", "\xE9 ? later lines still arrive"}));
    const std::string bytes = ReadBytes(capture.dir.path / "updater.log");
    EXPECT_TRUE(std::regex_match(bytes.substr(0, 22), std::regex(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] )")));
}

TEST(LogLine, TwoThreadsNeverTearALine) {
    LogCapture capture;
    constexpr int kLines = 10000;
    auto writer = [](wchar_t tag) {
        for (int i = 0; i < kLines; ++i) LogLine(std::wstring(1, tag) + L" line " + std::to_wstring(i) + L" end");
    };
    std::thread a(writer, L'A');
    std::thread b(writer, L'B');
    a.join();
    b.join();
    std::istringstream in(ReadBytes(capture.dir.path / "updater.log"));
    const std::regex shape(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] ([AB]) line (\d+) end\r)");
    int next[2] = {0, 0};
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << "torn line: " << line;
        EXPECT_EQ(std::stoi(m[2]), next[m[1] == "A" ? 0 : 1]++) << "lines of one thread stay in order";
    }
    EXPECT_EQ(next[0] + next[1], 2 * kLines);
}
