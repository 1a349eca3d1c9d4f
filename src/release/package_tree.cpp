#include "release/package_tree.h"

#include <algorithm>
#include <cwctype>
#include <map>
#include <set>
#include <system_error>

#include "base/text.h"
#include "zip/zip_names.h"

namespace fs = std::filesystem;

namespace {

bool IsUtf8(const std::string& bytes) { return WideToUtf8(Utf8ToWide(bytes)) == bytes; }

// Windows compares names without regard to letter case, in every script.
std::wstring FoldCase(std::wstring text) {
    for (auto& c : text) c = static_cast<wchar_t>(std::towlower(static_cast<std::wint_t>(c)));
    return text;
}

struct Scan {
    const std::string& label;
    PackageTree tree;
    std::map<std::wstring, std::string> byFoldedName;

    void Problem(const std::string& name, const std::string& what) {
        tree.problems.push_back(label + ": " + name + ": " + what);
    }

    // Name rules shared by files and directories; false when the entry is refused.
    bool CheckName(const std::string& name) {
        if (!IsUtf8(name)) {
            Problem(name, "the name is not UTF-8");
            return false;
        }
        if (name.find('\\') != std::string::npos) {
            Problem(name, "the name holds a backslash, which players' updaters read as a folder separator");
            return false;
        }
        EntryPath path;
        if (!SplitEntryName(Utf8ToWide(name), path)) {
            Problem(name,
                "players' updaters refuse this name (a reserved Windows name such as CON or NUL, one of "
                "< > : \" | ? * or a control character, or a trailing dot or space)");
            return false;
        }
        auto [first, fresh] = byFoldedName.emplace(FoldCase(Utf8ToWide(name)), name);
        if (!fresh) Problem(name, "differs only in letter case from " + first->second + " (one file on Windows)");
        return fresh;
    }

    void Add(const fs::directory_entry& entry, const std::string& name) {
        std::error_code ec;
        const fs::file_status status = entry.symlink_status(ec);
        if (fs::is_symlink(status)) {
            Problem(name, "is a link; put the file itself in the directory");
        } else if (fs::is_directory(status)) {
            tree.directories.push_back(name);
        } else if (fs::is_regular_file(status)) {
            std::uint64_t size = entry.file_size(ec);
            if (ec) return Problem(name, "cannot be read: " + ec.message());
            tree.files.push_back({entry.path(), name, size, static_cast<std::uint32_t>(status.permissions())});
            tree.bytes += size;
        } else {
            Problem(name, "is neither a regular file nor a directory");
        }
    }
};

// Empty directories are left out: players' updaters remove emptied directories.
void WarnAboutEmptyDirectories(PackageTree& tree, const std::string& label) {
    std::set<std::string> filled;
    for (const auto& file : tree.files)
        for (std::size_t slash = file.name.find('/'); slash != std::string::npos;
             slash = file.name.find('/', slash + 1))
            filled.insert(file.name.substr(0, slash));
    for (const auto& directory : tree.directories)
        if (!filled.contains(directory))
            tree.warnings.push_back(
                label + ": empty directory " + directory + " is left out (players' updaters remove empty directories)");
}

}  // namespace

PackageTree ScanPackageTree(const fs::path& root, const std::string& label) {
    Scan scan{label, {}, {}};
    std::error_code ec;
    if (!fs::is_directory(root, ec)) {
        scan.tree.problems.push_back(label + ": " + root.string() + " is not a directory");
        return scan.tree;
    }
    fs::recursive_directory_iterator entries(root, ec);
    for (; !ec && entries != fs::recursive_directory_iterator(); entries.increment(ec)) {
        const std::string name = entries->path().lexically_relative(root).generic_string();
        if (scan.CheckName(name)) {
            scan.Add(*entries, name);
        } else if (entries->is_directory(ec) && !entries->is_symlink(ec)) {
            entries.disable_recursion_pending();
        }
    }
    if (ec) scan.tree.problems.push_back(label + ": cannot read " + root.string() + ": " + ec.message());
    std::sort(scan.tree.files.begin(), scan.tree.files.end(),
        [](const PackageFile& a, const PackageFile& b) { return a.name < b.name; });
    WarnAboutEmptyDirectories(scan.tree, label);
    return scan.tree;
}
