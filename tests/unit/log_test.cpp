#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "services/log.h"
#include "test_support.h"

using testing_support::LogCapture;
using testing_support::ReadBytes;
using testing_support::ScratchDir;
using testing_support::WriteBytes;

namespace {

std::string LittleEndian(std::uint64_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i, value >>= 8) out += static_cast<char>(value & 0xFF);
    return out;
}

std::tm SampleTime() {
    std::tm t{};
    t.tm_year = 2025 - 1900;
    t.tm_mon = 2;
    t.tm_mday = 4;
    t.tm_hour = 7;
    t.tm_min = 8;
    t.tm_sec = 9;
    return t;
}

// Runs the daily truncation on a log holding "old" with the given stamp file
// (nullopt: none) and reports whether the log was emptied.
bool TruncatesWith(const std::optional<std::string>& stamp, std::int64_t now, std::string* stampAfter = nullptr) {
    ScratchDir dir;
    WriteBytes(dir.path / "updater.log", "old\r\n");
    if (stamp) WriteBytes(dir.path / "updater.log.ts", *stamp);
    TruncateLogIfDueAt(dir.path, now);
    if (stampAfter) *stampAfter = ReadBytes(dir.path / "updater.log.ts");
    return ReadBytes(dir.path / "updater.log").empty();
}

}  // namespace

TEST(LogTruncation, DecidesByStoredMoment) {
    const std::int64_t now = 1'750'000'000;
    std::string stampAfter;
    EXPECT_TRUE(TruncatesWith(std::nullopt, now, &stampAfter)) << "no stamp file";
    EXPECT_EQ(stampAfter, LittleEndian(now, 8));
    EXPECT_TRUE(TruncatesWith(LittleEndian(0, 8), now, &stampAfter)) << "stored zero";
    EXPECT_EQ(stampAfter, LittleEndian(now, 8));
    EXPECT_TRUE(TruncatesWith(std::string(), now)) << "empty stamp file";
    EXPECT_TRUE(TruncatesWith(LittleEndian(now + 5, 8), now, &stampAfter)) << "stamp in the future";
    EXPECT_EQ(stampAfter, LittleEndian(now, 8)) << "the stored moment moves back";
    EXPECT_TRUE(TruncatesWith(LittleEndian(now - 86400, 8), now)) << "exactly one day";
    EXPECT_FALSE(TruncatesWith(LittleEndian(now - 86399, 8), now)) << "one second short of a day";
}

TEST(LogTruncation, ShortAndLongStampFiles) {
    const std::int64_t stored = 1'700'000'000;
    std::string stampAfter;
    EXPECT_FALSE(TruncatesWith(LittleEndian(stored, 4), stored + 100, &stampAfter)) << "4 bytes are the low half";
    EXPECT_EQ(stampAfter, LittleEndian(stored, 4)) << "untouched when not due";
    EXPECT_FALSE(TruncatesWith(LittleEndian(stored, 8) + "junk", stored + 100)) << "bytes after the eighth ignored";
    EXPECT_TRUE(TruncatesWith(LittleEndian(stored, 8) + "junk", stored + 90000, &stampAfter));
    EXPECT_EQ(stampAfter.size(), 8u);
}

TEST(LogTruncation, CreatesMissingLog) {
    ScratchDir dir;
    TruncateLogIfDueAt(dir.path, 1'750'000'000);
    EXPECT_TRUE(std::filesystem::exists(dir.path / "updater.log"));
    EXPECT_EQ(ReadBytes(dir.path / "updater.log.ts").size(), 8u);
}

TEST(LogFormat, LayoutAndOneByteEncoding) {
    const std::tm t = SampleTime();
    EXPECT_EQ(FormatLogLine(t, L"UpdaterWorker started"), "[2025-03-04 07:08:09] UpdaterWorker started\r\n");
    EXPECT_EQ(FormatLogLine(t, L""), "[2025-03-04 07:08:09] \r\n");
    EXPECT_EQ(FormatLogLine(t, L"caf\u00e9"), "[2025-03-04 07:08:09] caf\xE9\r\n");
    EXPECT_EQ(FormatLogLine(t, L"a \u2192 b"), "[2025-03-04 07:08:09] a ? b\r\n");
    EXPECT_EQ(FormatLogLine(t, L"x\U0001F600y"), "[2025-03-04 07:08:09] x?y\r\n") << "one mark per character";
}

TEST(Log, WritesNothingWhileClosedThenAppends) {
    CloseLog();
    EXPECT_FALSE(IsLogOpen());
    LogLine(L"lost");  // must be harmless
    LogCapture capture;
    ASSERT_TRUE(IsLogOpen());
    LogLine(L"first");
    LogLine(L"\u00e9 \u2192 later lines still arrive");
    LogLine(L"third");
    std::vector<std::string> expected{"first", "\xE9 ? later lines still arrive", "third"};
    EXPECT_EQ(capture.Messages(), expected);
    const std::string bytes = ReadBytes(capture.dir.path / "updater.log");
    EXPECT_TRUE(std::regex_match(bytes.substr(0, 22), std::regex(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] )")));
}

TEST(Log, OpenFailureLeavesLogClosed) {
    CloseLog();
    ScratchDir dir;
    OpenLog(dir.path / "missing-dir" / "updater.log");
    EXPECT_FALSE(IsLogOpen());
    LogLine(L"nothing");
}

TEST(Log, TwoThreadsNeverTearALine) {
    LogCapture capture;
    constexpr int kLines = 10000;
    auto writer = [](wchar_t tag) {
        for (int i = 0; i < kLines; ++i) LogLine(std::wstring(1, tag) + L" line " + std::to_wstring(i) + L" end");
    };
    std::thread a(writer, L'A');
    std::thread b(writer, L'B');
    a.join();
    b.join();
    const std::string bytes = ReadBytes(capture.dir.path / "updater.log");
    std::regex shape(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] ([AB]) line (\d+) end\r)");
    int next[2] = {0, 0};
    std::istringstream in(bytes);
    std::string line;
    int total = 0;
    while (std::getline(in, line)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << "torn line: " << line;
        int who = m[1] == "A" ? 0 : 1;
        EXPECT_EQ(std::stoi(m[2]), next[who]++) << "lines of one thread stay in order";
        ++total;
    }
    EXPECT_EQ(total, 2 * kLines);
}
