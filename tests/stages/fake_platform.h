#pragma once
// The platform halves that the stage tests link in place of the real ones: an
// update server held in memory, a front end that records what it is shown, a
// Documents folder the test chooses, and a game start that is only recorded.

#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace fake_platform {

// URL -> body served with status 200; every other URL gets a 404.
extern std::map<std::wstring, std::string> g_served;
// Status texts as posted, progress values as "<n>%", and "worker done" and
// "close" for the worker's last two posts, in order.
extern std::vector<std::wstring> g_frontEnd;
// What FindDocumentsFolder reports; empty means no Documents folder.
extern std::filesystem::path g_documents;
// The programs started: executable and working directory.
extern std::vector<std::pair<std::filesystem::path, std::filesystem::path>> g_started;

}  // namespace fake_platform
