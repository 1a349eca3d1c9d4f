#pragma once
// Where the delete phase, the copy phase and the data-directory cleaning write
// their lines. It is LogLine; a test may point it elsewhere to read the lines,
// since the process-wide log can be opened only once.

#include <string>

using PhaseLogWriter = void (*)(const std::wstring& line);
extern PhaseLogWriter g_phaseLogWriter;

inline void PhaseLog(const std::wstring& line) { g_phaseLogWriter(line); }
