#pragma once
// Relative paths in their native form (bytes on POSIX, wide on Windows, the
// platform's separator), compared exactly: letter case counts, and two names
// that are not valid text never collide. Held compactly for lists of 100,000
// files: one block of names and a fixed-size record per name.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string_view>
#include <vector>

using RelativePathView = std::basic_string_view<std::filesystem::path::value_type>;

// Names are appended as they come. A lookup first sorts the records and drops
// repeats (in place, hence mutable: a const list is tidied when it is read),
// and so does an addition once the untidy part outgrows the tidy one.
struct RelativePathList {
    struct Name {
        std::size_t at = 0;
        std::size_t size = 0;
    };
    mutable std::filesystem::path::string_type block;
    mutable std::vector<Name> names;
    mutable std::size_t tidy = 0;  // names[0, tidy) are sorted and without repeats
};

void AddRelativePath(RelativePathList& list, RelativePathView relative);
// Room for about `count` more names of `chars` characters in all, made at once:
// a list grown by doubling takes up to twice its size while it is moved.
void ReserveRelativePaths(RelativePathList& list, std::size_t count, std::size_t chars);
// A list of names that lie in `block` already, at the given places: the block
// is taken, not copied.
RelativePathList RelativePathsIn(
    std::filesystem::path::string_type&& block, std::vector<RelativePathList::Name>&& names);
bool HoldsRelativePath(const RelativePathList& list, RelativePathView relative);
// How many names it holds, repeats counted once.
std::size_t RelativePathCount(const RelativePathList& list);
// Each name once, in order.
void ForEachRelativePath(const RelativePathList& list, const std::function<void(RelativePathView)>& visit);
