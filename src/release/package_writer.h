#pragma once
// Writes an update or maps package with libzip: every entry deflated, names
// in UTF-8 (flagged when not ASCII), entries in the order given, Unix modes kept,
// and each entry's content SHA-256 in a field of its central-directory record.

#include <filesystem>
#include <string>
#include <vector>

#include "release/package_tree.h"

// Deflates on every core. libzip compresses one archive on one thread, so each
// thread writes its share of the files into a part archive of its own; the
// parts' compressed data is then copied, in order and without being inflated
// again, into the package, and the parts are removed. False with a message.
bool WritePackage(const std::vector<PackageFile>& files, const std::filesystem::path& package, std::string& error);
