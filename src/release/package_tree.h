#pragma once
// The files of a game or maps directory as package entries, checked against
// what players' updaters accept: the updater's own name rules, letter case
// (Windows folds it), links and special files.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct PackageFile {
    std::filesystem::path source;
    std::string name;  // entry name: UTF-8, '/' separators
    std::uint64_t size = 0;
    std::uint32_t mode = 0;  // Unix permission bits
};

struct PackageTree {
    std::vector<PackageFile> files;  // in byte order of their names
    std::vector<std::string> directories;
    std::uint64_t bytes = 0;
    std::vector<std::string> problems;  // any of them refuses the release
    std::vector<std::string> warnings;
};

// Walks root; `label` ("game directory", "maps directory") starts each message.
PackageTree ScanPackageTree(const std::filesystem::path& root, const std::string& label);
