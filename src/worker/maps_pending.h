#pragma once
// A marker in the install directory that says an applied update's maps
// refresh has not finished yet. It is set before version.txt records the new
// release and cleared only once the maps stage has succeeded, so a run that is
// stopped in between (closed, killed, power lost) or whose maps download or
// unpacking failed refreshes the maps on the next start instead of never.
#include <filesystem>

void MarkMapsRefreshPending(const std::filesystem::path& installDir);
bool IsMapsRefreshPending(const std::filesystem::path& installDir);
void ClearMapsRefreshPending(const std::filesystem::path& installDir);
