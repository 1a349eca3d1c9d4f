#pragma once
// What an update package does to players' installations beyond writing its
// own files: its safelist.txt decides what their delete phase keeps, and a
// package that holds the updater replaces the players' updater.

#include "release/package_tree.h"

// Refuses a safelist.txt that starts with a byte-order mark (its first
// pattern would keep nothing); warns about safelist patterns that match
// nothing in the package and about the updater in the package.
void CheckInstallationRules(PackageTree& tree);
