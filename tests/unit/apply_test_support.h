#pragma once
// Helpers for the tests of the delete and copy phases and the data directory,
// on top of the shared scratch-directory and log fixtures.

#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace apply_test {

using testing_support::LogCapture;
using testing_support::ReadBytes;
using testing_support::ScratchDir;
using testing_support::WriteBytes;

inline void WriteFile(const std::filesystem::path& file, const std::string& bytes = "data") { WriteBytes(file, bytes); }

// A path from UTF-8 text, for names beyond ASCII in both builds.
inline std::filesystem::path U8(const char8_t* text) { return std::filesystem::path(text); }

inline std::size_t CountStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    std::size_t n = 0;
    for (const auto& line : lines) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
}

}  // namespace apply_test
