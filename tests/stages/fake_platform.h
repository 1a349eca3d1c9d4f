#pragma once
// The platform halves that the stage tests link in place of the real ones: an
// update server held in memory, a front end that records what it is shown, a
// Documents folder the test chooses, a game start that is only recorded, and
// the release key with its signature check.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace fake_platform {

// URL -> body served with status 200; every other URL gets a 404.
extern std::map<std::wstring, std::string> g_served;
// Each request: its URL, and " <Range>" when it asked for a range.
extern std::vector<std::wstring> g_requested;
// What every volume has free; none: the system cannot tell.
extern std::optional<std::uint64_t> g_freeBytes;
// Status texts as posted, progress values as "<n>%", and "worker done" and
// "close" for the worker's last two posts, in order.
extern std::vector<std::wstring> g_frontEnd;
// What FindDocumentsFolder reports; empty means no Documents folder.
extern std::filesystem::path g_documents;
// The programs started: executable and working directory.
extern std::vector<std::pair<std::filesystem::path, std::filesystem::path>> g_started;
// True: the program is built with a release key (the test key), and its
// signature check accepts exactly the line "signature: " kTestSignature,
// over any bytes (what a signature covers is the unit tests' matter).
extern bool g_signedBuild;
inline constexpr const char* kTestSignature = "MAYCAQECAQI=";  // DER of r = 1, s = 2

}  // namespace fake_platform
