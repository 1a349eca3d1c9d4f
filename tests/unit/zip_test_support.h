#pragma once
// Helpers for the extraction tests: the generated packages (beside
// unit_tests, in zips/) and a view of a directory tree.

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "services/install_directory.h"
#include "services/text.h"

namespace zip_testing {

inline std::filesystem::path Package(const std::string& name) { return GetInstallDirectory() / "zips" / name; }

// Every entry below `root` as "a/b/" (folders) or "a/b.txt" (files), sorted.
inline std::vector<std::wstring> TreeOf(const std::filesystem::path& root) {
    std::vector<std::wstring> entries;
    std::error_code ec;
    for (std::filesystem::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        std::wstring name = PathToWide(it->path().lexically_relative(root));
        std::replace(name.begin(), name.end(), L'\\', L'/');
        if (it->is_directory(ec) && !it->is_symlink(ec)) name += L'/';
        entries.push_back(name);
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

// The test text of make_zips.py: one line 400 times.
inline std::string RepeatedText(int times = 1) {
    std::string line = "The quick brown fox jumps over the lazy dog.\n";
    std::string text;
    for (int i = 0; i < 400 * times; ++i) text += line;
    return text;
}

}  // namespace zip_testing
