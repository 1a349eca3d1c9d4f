#include "base/tree_walk.h"

#include <algorithm>
#include <system_error>

#include "base/file_attributes.h"
#include "base/file_system.h"
#include "base/text.h"

namespace fs = std::filesystem;

bool WalkTree(const fs::path& root, const WalkVisitor& visit) {
    // Each level is read whole before it is visited, so a visitor may delete
    // what it is shown.
    struct Level {
        std::vector<fs::directory_entry> entries;
        std::size_t next = 0;
    };
    std::vector<Level> open(1);
    if (!ReadDirectory(root, open.back().entries)) return false;
    bool complete = true;
    while (!open.empty()) {
        Level& current = open.back();
        if (current.next == current.entries.size()) {
            open.pop_back();
            continue;
        }
        const fs::directory_entry entry = current.entries[current.next++];
        WalkStep step = visit(entry);
        if (step == WalkStep::Stop) return false;
        if (step == WalkStep::SkipChildren || !IsRealDirectory(entry)) continue;
        Level children;
        if (!ReadDirectory(entry.path(), children.entries)) complete = false;
        open.push_back(std::move(children));
    }
    return complete;
}

fs::path::string_type RelativeNativePath(const fs::path& entry, const fs::path& root) {
    fs::path relative = entry.lexically_relative(root);
    fs::path::string_type native = relative.native();
    if (native.empty() || relative.is_absolute() || *relative.begin() == "..") return {};
    if constexpr (fs::path::preferred_separator == L'\\') std::replace(native.begin(), native.end(), L'/', L'\\');
    if (native == fs::path::string_type(1, '.')) return {};
    return native;
}

void NormalizeRelativePath(std::wstring& path) {
    std::replace(path.begin(), path.end(), L'/', L'\\');
    std::size_t end = path.find_last_not_of(L'\\');
    path.erase(end == std::wstring::npos ? 0 : end + 1);
}

std::wstring ToSafelistForm(const fs::path::string_type& relativePath) {
    std::wstring text = PathToWide(fs::path(relativePath));
    NormalizeRelativePath(text);
    return text;
}

std::vector<fs::path> ListDirectoriesLongestFirst(const fs::path& root, const fs::path& excluded) {
    std::vector<fs::path> directories;
    WalkTree(root, [&](const fs::directory_entry& entry) {
        if (!IsRealDirectory(entry)) return WalkStep::Continue;
        if (!excluded.empty() && IsSameFile(entry.path(), excluded)) return WalkStep::SkipChildren;
        directories.push_back(entry.path());
        return WalkStep::Continue;
    });
    std::sort(directories.begin(), directories.end(),
        [](const fs::path& a, const fs::path& b) { return a.native().size() > b.native().size(); });
    return directories;
}

bool RemoveTree(const fs::path& root) {
    std::error_code ec;
    if (fs::is_symlink(EntryStatus(root, ec))) {  // a link goes, its target stays
        RemoveEntry(root, ec);
        return !ec;
    }
    WalkTree(root, [](const fs::directory_entry& entry) {
        if (IsRealDirectory(entry)) return WalkStep::Continue;
        ClearReadOnly(entry.path());
        RemoveQuietly(entry.path());
        return WalkStep::Continue;
    });
    for (const fs::path& directory : ListDirectoriesLongestFirst(root)) RemoveQuietly(directory);
    RemoveQuietly(root);
    return EntryStatus(root, ec).type() == fs::file_type::not_found;
}

void EmptyDirectory(const fs::path& directory) {
    std::error_code ignored;
    RemoveTree(directory);
    MakeDirectories(directory, ignored);
}
