#pragma once
// Shared test fixtures: a scratch directory removed afterwards, and a log
// opened on a fresh file whose lines a test can read back.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "services/log.h"

namespace testing_support {

inline std::filesystem::path MakeScratchDir(const std::string& tag) {
    std::random_device seed;
    auto dir = std::filesystem::temp_directory_path() /
               ("updater-test-" + tag + "-" + std::to_string(seed()) + std::to_string(seed()));
    std::filesystem::create_directories(dir);
    return dir;
}

struct ScratchDir {
    std::filesystem::path path;
    explicit ScratchDir(const std::string& tag = "t") : path(MakeScratchDir(tag)) {}
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
};

inline std::string ReadBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void WriteBytes(const std::filesystem::path& file, const std::string& bytes) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// Opens the process log on a fresh file for the test's lifetime.
struct LogCapture {
    ScratchDir dir{"log"};
    LogCapture() {
        CloseLog();
        OpenLog(dir.path / "updater.log");
    }
    ~LogCapture() { CloseLog(); }
    // The messages logged so far, without their "[stamp] " prefix and CR LF.
    std::vector<std::string> Messages() const {
        std::vector<std::string> out;
        std::istringstream in(ReadBytes(dir.path / "updater.log"));
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            out.push_back(line.size() >= 22 ? line.substr(22) : line);
        }
        return out;
    }
};

}  // namespace testing_support
