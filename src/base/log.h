#pragma once
// The updater's one log, updater.log beside the executable: one stamped line per
// call, one byte per character, CR LF line ends, emptied at most once a day.

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>

// Empties updater.log when a day or more has passed since the moment stored in
// updater.log.ts (or that moment is missing, zero or in the future).
void TruncateLogIfDue(const std::filesystem::path& installDir);
void TruncateLogIfDueAt(const std::filesystem::path& installDir, std::int64_t now);
bool IsLogTruncationDue(std::uint64_t stored, std::uint64_t now);

void OpenLog(const std::filesystem::path& logFile);
bool IsLogOpen();
// Closes the log so that a later OpenLog can name another file (tests use it;
// the program itself keeps the log open until it ends).
void CloseLog();
// Appends "[YYYY-mm-dd HH:MM:SS] message" + CR LF; does nothing while the log is closed.
void LogLine(const std::wstring& message);

// The bytes of one line as LogLine writes them: characters up to U+00FF as
// their own byte, anything above as '?'.
std::string FormatLogLine(const std::tm& localTime, const std::wstring& message);
