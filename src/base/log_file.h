#pragma once
// The platform side of the log: a raw append handle (the program never closes
// it: the process ends with it), truncation, and the clock.

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>

using LogFileHandle = std::intptr_t;
constexpr LogFileHandle kNoLogFile = -1;

LogFileHandle OpenLogFileForAppend(const std::filesystem::path& path);
// For CloseLog, which tests use to name another log file.
void CloseLogFile(LogFileHandle file);
// Appends the whole buffer in one system call (on POSIX more follow a short
// write); false when not all of it was written.
bool WriteLogBytes(LogFileHandle file, const std::string& bytes);
// Creates the file or cuts it to zero bytes; other readers may keep it open.
bool TruncateFileToEmpty(const std::filesystem::path& path);
std::int64_t CurrentUnixSeconds();
std::tm ToLocalTime(std::int64_t seconds);
