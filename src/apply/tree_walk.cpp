#include "apply/tree_walk.h"

#include <algorithm>
#include <system_error>

#include "apply/safelist.h"
#include "services/text.h"

namespace fs = std::filesystem;

bool WalkTree(const fs::path& root, const WalkVisitor& visit) {
    std::error_code ec;
    std::vector<fs::directory_iterator> open;
    open.emplace_back(root, ec);
    if (ec) return false;
    bool complete = true;
    while (!open.empty()) {
        fs::directory_iterator& current = open.back();
        if (current == fs::directory_iterator()) {
            open.pop_back();
            continue;
        }
        const fs::directory_entry entry = *current;
        // Advance before visiting: the visitor may delete the entry. A failed
        // advance (on Wine also a path of 260 or more characters) ends only
        // this directory and is reported through the result.
        current.increment(ec);
        if (ec) {
            complete = false;
            current = fs::directory_iterator();
        }
        WalkStep step = visit(entry);
        if (step == WalkStep::Stop) return false;
        if (step == WalkStep::SkipChildren || !IsRealDirectory(entry)) continue;
        fs::directory_iterator children(entry.path(), ec);
        if (ec) {
            complete = false;
            continue;
        }
        open.push_back(std::move(children));
    }
    return complete;
}

bool IsRealDirectory(const fs::directory_entry& entry) {
    std::error_code ec;
    return entry.is_directory(ec) && !ec && !IsLinkEntry(entry);
}

fs::path::string_type RelativeKey(const fs::path& entry, const fs::path& root) {
    fs::path relative = entry.lexically_relative(root);
    fs::path::string_type key = relative.native();
    if (key.empty() || relative.is_absolute() || *relative.begin() == "..") return {};
    if constexpr (fs::path::preferred_separator == L'\\') std::replace(key.begin(), key.end(), L'/', L'\\');
    if (key == fs::path::string_type(1, '.')) return {};
    return key;
}

std::wstring RelativeText(const fs::path::string_type& key) {
    std::wstring text = PathToWide(fs::path(key));
    NormalizeRelativePath(text);
    return text;
}

std::vector<fs::path> ListDirectoriesLongestFirst(const fs::path& root, const fs::path& excluded) {
    std::vector<fs::path> directories;
    WalkTree(root, [&](const fs::directory_entry& entry) {
        if (!IsRealDirectory(entry)) return WalkStep::Continue;
        if (!excluded.empty() && IsSameDirectory(entry.path(), excluded)) return WalkStep::SkipChildren;
        directories.push_back(entry.path());
        return WalkStep::Continue;
    });
    std::sort(directories.begin(), directories.end(),
              [](const fs::path& a, const fs::path& b) { return a.native().size() > b.native().size(); });
    return directories;
}

bool IsSameDirectory(const fs::path& a, const fs::path& b) {
    if (a.lexically_normal() == b.lexically_normal()) return true;
    std::error_code ec;
    return fs::equivalent(a, b, ec) && !ec;
}
