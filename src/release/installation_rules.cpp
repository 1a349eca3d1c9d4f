#include "release/installation_rules.h"

#include <fstream>
#include <iterator>
#include <string>

#include "base/ascii_case.h"
#include "base/text.h"
#include "base/tree_walk.h"
#include "rules/safelist.h"
#include "rules/working_names.h"

namespace {

// Package paths in the delete phase's normal form: '\' separators.
std::vector<std::wstring> RelativePaths(const PackageTree& tree) {
    std::vector<std::wstring> paths;
    for (const auto& file : tree.files) paths.push_back(Utf8ToWide(file.name));
    for (const auto& directory : tree.directories) paths.push_back(Utf8ToWide(directory));
    for (auto& path : paths) NormalizeRelativePath(path);
    return paths;
}

void CheckSafelist(const PackageFile& safelist, PackageTree& tree) {
    std::ifstream in(safelist.source, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        tree.problems.push_back(
            "game directory: " + safelist.name + " starts with a byte-order mark; save it as UTF-8 without one");
        return;
    }
    if (const std::wstring reason = UnreadableSafelistReason(bytes); !reason.empty()) {
        tree.problems.push_back("game directory: " + safelist.name + " " + WideToUtf8(reason) +
                                "; players' updaters would delete nothing: save it as UTF-8");
        return;
    }
    std::vector<std::wstring> rooted;
    const Safelist patterns = ParseSafelist(bytes, &rooted);
    for (const auto& pattern : rooted)
        tree.warnings.push_back("game directory: safelist pattern '" + WideToUtf8(pattern) +
                                "' starts with a separator or './', which players' updaters drop");
    const auto paths = RelativePaths(tree);
    for (const auto& pattern : patterns) {
        bool matches = false;
        for (const auto& path : paths) matches = matches || MatchesSafelist(path, Safelist{pattern});
        if (!matches)
            tree.warnings.push_back("game directory: safelist pattern '" + WideToUtf8(pattern) +
                                    "' matches nothing in the package (it can keep only players' own files)");
    }
}

void RefuseWorkingNames(PackageTree& tree, const Safelist& names, const std::string& label) {
    for (const auto& file : tree.files) {
        std::wstring path = Utf8ToWide(file.name);
        NormalizeRelativePath(path);
        if (MatchesSafelist(path, names))
            tree.problems.push_back(
                label + ": " + file.name + ": the updater works under this name; players' updaters refuse the package");
    }
}

}  // namespace

void CheckInstallationRules(PackageTree& update, PackageTree& maps) {
    RefuseWorkingNames(update, InstallWorkingNames(), "game directory");
    RefuseWorkingNames(maps, DataWorkingNames(), "maps directory");
    for (const auto& file : update.files) {
        const std::wstring name = Utf8ToWide(file.name);
        if (EqualsIgnoringAsciiCase(name, L"safelist.txt")) CheckSafelist(file, update);
        if (EqualsIgnoringAsciiCase(name, L"Updater.exe") || EqualsIgnoringAsciiCase(name, L"Updater"))
            update.warnings.push_back("game directory: the package holds the updater (" + file.name +
                                      "); it will replace the players' updater");
    }
}
