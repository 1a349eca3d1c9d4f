#pragma once
// The platform halves that the stage tests link in place of the real ones: an
// update server held in memory, a front end that records what it is shown,
// and a Documents folder the test chooses.

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace fake_platform {

// URL -> body served with status 200; every other URL gets a 404.
extern std::map<std::wstring, std::string> g_served;
// Status texts as posted, and progress values as "<n>%", in order.
extern std::vector<std::wstring> g_frontEnd;
// What FindDocumentsFolder reports; empty means no Documents folder.
extern std::filesystem::path g_documents;

}  // namespace fake_platform
