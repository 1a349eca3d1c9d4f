#include "apply/relative_path_list.h"

#include <algorithm>

namespace {

// Untidy names beyond this many (and beyond the tidy ones) are tidied at once,
// so that repeats never take more than about half the list.
constexpr std::size_t kUntidyAllowance = 4096;

RelativePathView NameAt(const RelativePathList& list, const RelativePathList::Name& name) {
    return RelativePathView(list.block).substr(name.at, name.size);
}

// Rewrites the block with each kept name once.
void DropUnusedNames(const RelativePathList& list) {
    std::filesystem::path::string_type block;
    std::size_t size = 0;
    for (const auto& name : list.names) size += name.size;
    block.reserve(size);
    for (auto& name : list.names) {
        const RelativePathView text = NameAt(list, name);
        name.at = block.size();
        block += text;
    }
    list.block = std::move(block);
}

void Tidy(const RelativePathList& list) {
    if (list.tidy == list.names.size()) return;
    const auto less = [&](const auto& a, const auto& b) { return NameAt(list, a) < NameAt(list, b); };
    const auto same = [&](const auto& a, const auto& b) { return NameAt(list, a) == NameAt(list, b); };
    std::sort(list.names.begin(), list.names.end(), less);
    const auto end = std::unique(list.names.begin(), list.names.end(), same);
    if (end != list.names.end()) {
        list.names.erase(end, list.names.end());
        DropUnusedNames(list);
    }
    list.tidy = list.names.size();
}

}  // namespace

void AddRelativePath(RelativePathList& list, RelativePathView relative) {
    list.names.push_back({list.block.size(), relative.size()});
    list.block += relative;
    if (list.names.size() - list.tidy > list.tidy + kUntidyAllowance) Tidy(list);
}

void ReserveRelativePaths(RelativePathList& list, std::size_t count, std::size_t chars) {
    list.names.reserve(list.names.size() + count);
    list.block.reserve(list.block.size() + chars);
}

RelativePathList RelativePathsIn(
    std::filesystem::path::string_type&& block, std::vector<RelativePathList::Name>&& names) {
    RelativePathList list;
    list.block = std::move(block);
    list.names = std::move(names);
    return list;
}

bool HoldsRelativePath(const RelativePathList& list, RelativePathView relative) {
    Tidy(list);
    const auto found = std::lower_bound(list.names.begin(), list.names.end(), relative,
        [&](const RelativePathList::Name& name, RelativePathView text) { return NameAt(list, name) < text; });
    return found != list.names.end() && NameAt(list, *found) == relative;
}

std::size_t RelativePathCount(const RelativePathList& list) {
    Tidy(list);
    return list.names.size();
}

void ForEachRelativePath(const RelativePathList& list, const std::function<void(RelativePathView)>& visit) {
    Tidy(list);
    for (const auto& name : list.names) visit(NameAt(list, name));
}
