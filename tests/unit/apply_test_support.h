#pragma once
// Scratch trees and captured lines for the tests of the delete and copy phases
// and the data directory.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "apply/phase_log.h"

namespace apply_test {

namespace fs = std::filesystem;

// A fresh directory under the temporary directory, removed with all it holds.
struct ScratchDir {
    fs::path root;
    ScratchDir() {
        static std::atomic<unsigned> counter{0};
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        root = fs::temp_directory_path() /
               ("apply_test_" + std::to_string(stamp) + "_" + std::to_string(counter++));
        fs::create_directories(root);
    }
    ~ScratchDir() {
        std::error_code ec;
        // Give back any write permission a test took away, so everything can go.
        for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(root, ec);
    }
    fs::path operator/(const fs::path& relative) const { return root / relative; }
};

inline void WriteFile(const fs::path& file, const std::string& bytes = "data") {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
}

inline std::string ReadFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A path from UTF-8 text, for names beyond ASCII in both builds.
inline fs::path U8(const char8_t* text) { return fs::path(text); }

// Collects the lines of the phases while it lives (the log itself is left alone).
class CapturedLines {
public:
    CapturedLines() : previous_(g_phaseLogWriter) {
        Lines().clear();
        g_phaseLogWriter = [](const std::wstring& line) { Lines().push_back(line); };
    }
    ~CapturedLines() { g_phaseLogWriter = previous_; }
    const std::vector<std::wstring>& lines() const { return Lines(); }
    std::size_t CountStartingWith(const std::wstring& prefix) const {
        std::size_t n = 0;
        for (const auto& line : Lines()) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }

private:
    static std::vector<std::wstring>& Lines() {
        static std::vector<std::wstring> lines;
        return lines;
    }
    PhaseLogWriter previous_;
};

}  // namespace apply_test
