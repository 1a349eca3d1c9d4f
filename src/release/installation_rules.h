#pragma once
// What the packages do to players' installations beyond writing their own
// files: update.zip's safelist.txt decides what their delete phase keeps, a
// package that holds the updater replaces the players' updater, and files at
// the updater's own working names make players' updaters refuse a package.

#include "release/package_tree.h"

// Refuses files of either package at the updater's working names
// (rules/working_names.h) and a safelist.txt that starts with a byte-order
// mark, is UTF-16 or holds a NUL byte (players' updaters would delete nothing,
// or their first pattern would keep nothing); warns about safelist patterns
// that start with a separator or "./" (players' updaters drop it) or match
// nothing in the package, and about the updater in the package.
void CheckInstallationRules(PackageTree& update, PackageTree& maps);
