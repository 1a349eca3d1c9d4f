#include "test_support.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>

#include "apply/relative_path_list.h"
#include "base/install_directory.h"
#include "base/log.h"
#include "base/text.h"
#include "base/tree_walk.h"

ScratchDir::ScratchDir(const std::string& tag) {
    std::random_device seed;
    path = fs::temp_directory_path() / ("updater-test-" + tag + "-" + std::to_string(seed()) + std::to_string(seed()));
    fs::create_directories(path);
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
}

std::string ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteBytes(const fs::path& file, const std::string& bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
}

namespace {

// A path from UTF-8 text (on POSIX the bytes themselves, valid UTF-8 or not).
fs::path Utf8Path(const std::string& text) { return fs::path(std::u8string(text.begin(), text.end())); }

std::string Shown(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += "\n  " + (line.size() > 80 ? line.substr(0, 80) + "..." : line);
    return text;
}

}  // namespace

void WriteTree(const fs::path& root, const Tree& tree) {
    for (const std::string& entry : tree) {
        const std::size_t equals = entry.find('=');
        const fs::path path = root / Utf8Path(entry.substr(0, equals)).make_preferred();
        if (entry.back() == '/' && equals == std::string::npos)
            fs::create_directories(path);
        else
            WriteBytes(path, equals == std::string::npos ? "" : entry.substr(equals + 1));
    }
}

Tree ReadTree(const fs::path& root, const std::string& skip) {
    Tree tree;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const std::u8string name = it->path().lexically_relative(root).generic_u8string();
        std::string entry(name.begin(), name.end());
        if (!skip.empty() && entry.substr(0, entry.find('/')) == skip) continue;
        std::error_code kind;
        if (it->is_directory(kind) && !it->is_symlink(kind)) {
            if (fs::is_empty(it->path(), kind)) tree.push_back(entry + "/");
        } else {
            const std::string content = ReadBytes(it->path());
            tree.push_back(content.empty() ? entry : entry + "=" + content);
        }
    }
    std::sort(tree.begin(), tree.end());
    return tree;
}

void ExpectTree(const Tree& actual, Tree expected) {
    std::sort(expected.begin(), expected.end());
    EXPECT_TRUE(actual == expected) << "tree:" << Shown(actual) << "\nexpected:" << Shown(expected);
}

LogCapture::LogCapture() {
    CloseLog();
    OpenLog(dir.path / "updater.log");
}

LogCapture::~LogCapture() { CloseLog(); }

std::vector<std::string> LogCapture::Messages() const {
    std::vector<std::string> out;
    std::istringstream in(ReadBytes(dir.path / "updater.log"));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out.push_back(line.size() >= 22 ? line.substr(22) : line);
    }
    return out;
}

std::string LogText(const fs::path& path) {
    std::string text;
    for (wchar_t c : PathToWide(path)) text += c <= 0xFF ? static_cast<char>(c) : '?';
    return text;
}

void ExpectLog(std::vector<std::string> actual, std::vector<std::string> expected, const fs::path& base, bool ordered) {
    for (std::string& line : expected) {
        const std::size_t at = line.find("~/");
        if (at != std::string::npos)
            line = line.substr(0, at) + LogText((base / Utf8Path(line.substr(at + 2))).make_preferred());
    }
    if (!ordered) {
        std::sort(actual.begin(), actual.end());
        std::sort(expected.begin(), expected.end());
    }
    bool same = actual.size() == expected.size();
    for (std::size_t i = 0; same && i < actual.size(); ++i) {
        const std::string& want = expected[i];
        same = want.ends_with('*') ? actual[i].starts_with(want.substr(0, want.size() - 1)) : actual[i] == want;
    }
    EXPECT_TRUE(same) << "log:" << Shown(actual) << "\nexpected:" << Shown(expected);
}

fs::path Package(const std::string& name) { return GetInstallDirectory() / "zips" / name; }

PackageListing ListUnpackedPackage(const fs::path& extractDir) {
    PackageListing listing;
    listing.complete = WalkTree(extractDir, [&](const fs::directory_entry& entry) {
        const bool directory = IsRealDirectory(entry);
        if (!directory && !IsRegularFile(entry)) return WalkStep::Continue;
        const fs::path::string_type relative = RelativeNativePath(entry.path(), extractDir);
        if (!relative.empty()) AddRelativePath(directory ? listing.directories : listing.files, relative);
        return WalkStep::Continue;
    });
    return listing;
}
