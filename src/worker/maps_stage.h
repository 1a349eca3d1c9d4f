#pragma once

// Refreshes the maps in the data directory under Documents after an applied
// update: the new maps.zip is fetched first, and only then is the directory
// emptied (all but "Replays") and refilled.
void RunMapsStage();
