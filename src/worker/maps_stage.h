#pragma once
#include "services/package_check.h"

// Refreshes the maps in the data directory under Documents after an applied
// update: the new maps.zip is fetched first, and only then is the directory
// emptied (all but "Replays") and refilled. The package must pass `check`.
void RunMapsStage(const PackageCheck& check);
