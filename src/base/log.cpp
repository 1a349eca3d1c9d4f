#include "base/log.h"

#include <array>
#include <atomic>
#include <fstream>
#include <mutex>

#include "base/log_file.h"
#include "base/long_path.h"

namespace {

std::atomic<LogFileHandle> g_logFile{kNoLogFile};
// Whole lines are written under this lock, so the two threads never interleave
// inside a line; the handle stays open until the process ends, so a line being
// written while the main thread returns is either written whole or not at all.
std::mutex g_logMutex;

constexpr std::uint64_t kOneDay = 86400;

std::uint64_t ReadStoredTime(const std::filesystem::path& stampFile) {
    std::ifstream in(LongPath(stampFile), std::ios::binary);
    if (!in) return 0;
    std::array<char, 8> bytes{};
    in.read(bytes.data(), bytes.size());
    std::uint64_t value = 0;
    for (std::streamsize i = in.gcount() - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[static_cast<std::size_t>(i)]);
    return value;
}

void WriteStoredTime(const std::filesystem::path& stampFile, std::int64_t now) {
    std::ofstream out(LongPath(stampFile), std::ios::binary | std::ios::trunc);
    if (!out) return;
    std::array<char, 8> bytes{};
    auto value = static_cast<std::uint64_t>(now);
    for (auto& b : bytes) {
        b = static_cast<char>(value & 0xFF);
        value >>= 8;
    }
    out.write(bytes.data(), bytes.size());
}

}  // namespace

bool IsLogTruncationDue(std::uint64_t stored, std::uint64_t now) {
    return stored == 0 || now < stored || now - stored >= kOneDay;
}

void TruncateLogIfDueAt(const std::filesystem::path& installDir, std::int64_t now) {
    const auto stampFile = installDir / "updater.log.ts";
    if (!IsLogTruncationDue(ReadStoredTime(stampFile), static_cast<std::uint64_t>(now))) return;
    TruncateFileToEmpty(installDir / "updater.log");
    WriteStoredTime(stampFile, now);
}

void TruncateLogIfDue(const std::filesystem::path& installDir) { TruncateLogIfDueAt(installDir, CurrentUnixSeconds()); }

void OpenLog(const std::filesystem::path& logFile) {
    std::lock_guard lock(g_logMutex);
    if (g_logFile.load() != kNoLogFile) return;
    g_logFile.store(OpenLogFileForAppend(logFile));
}

bool IsLogOpen() { return g_logFile.load() != kNoLogFile; }

void CloseLog() {
    std::lock_guard lock(g_logMutex);
    CloseLogFile(g_logFile.exchange(kNoLogFile));
}

std::string FormatLogLine(const std::tm& localTime, const std::wstring& message) {
    char stamp[32];
    std::size_t stampLength = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &localTime);
    std::string line;
    line.reserve(message.size() + stampLength + 5);
    line += '[';
    line.append(stamp, stampLength);
    line += "] ";
    for (std::size_t i = 0; i < message.size(); ++i) {
        auto c = static_cast<std::uint32_t>(message[i]);
        bool pairedSurrogate = sizeof(wchar_t) == 2 && c >= 0xD800 && c <= 0xDBFF && i + 1 < message.size() &&
                               static_cast<std::uint32_t>(message[i + 1]) >= 0xDC00 &&
                               static_cast<std::uint32_t>(message[i + 1]) <= 0xDFFF;
        if (pairedSurrogate) ++i;  // one character outside the BMP, one '?'
        line += c <= 0xFF ? static_cast<char>(c) : '?';
    }
    line += "\r\n";
    return line;
}

void LogLine(const std::wstring& message) {
    if (!IsLogOpen()) return;
    std::string line = FormatLogLine(ToLocalTime(CurrentUnixSeconds()), message);
    std::lock_guard lock(g_logMutex);
    WriteLogBytes(g_logFile.load(), line);
}
