#pragma once
#include "integrity/package_check.h"

// Refreshes the maps in the data directory under Documents after an applied
// update: the new maps.zip is fetched (it must pass `check`) and read whole
// first, and only then is the directory emptied (all but "Replays") and
// refilled. True when the new maps are in place; false when the data directory
// is unknown or the package could not be fetched, failed its check, was
// damaged or could not be unpacked.
bool RunMapsStage(const PackageCheck& check);
