#include "fake_platform.h"

#include <fstream>

#include "launch/game_launch.h"
#include "loader/progress.h"
#include "services/download_transfer.h"
#include "userdata/data_directory.h"

namespace fake_platform {

std::map<std::wstring, std::string> g_served;
std::vector<std::wstring> g_frontEnd;
std::filesystem::path g_documents;
std::vector<std::pair<std::filesystem::path, std::filesystem::path>> g_started;

}  // namespace fake_platform

using namespace fake_platform;

bool TransferToFile(const std::wstring& url, const std::filesystem::path& partialFile, BodyTally& tally) {
    auto served = g_served.find(url);
    if (served == g_served.end()) return false;
    TallyBody(tally, served->second.data(), served->second.size());
    std::ofstream out(partialFile, std::ios::binary | std::ios::trunc);
    out << served->second;
    out.close();
    return static_cast<bool>(out);
}

// A fake whose signature drifted from the header's would be a second overload,
// and the real transfer would be linked in silently; taking the address of an
// overloaded name does not compile, so such drift fails the build here.
[[maybe_unused]] static const auto kFakeTransfer = &TransferToFile;

void PostStatus(const std::wstring& text) { g_frontEnd.push_back(text); }
void PostProgress(int percent) { g_frontEnd.push_back(std::to_wstring(percent) + L"%"); }
void PostWorkerDone() { g_frontEnd.push_back(L"worker done"); }
void PostCloseRequest() { g_frontEnd.push_back(L"close"); }

std::filesystem::path FindDocumentsFolder() { return g_documents; }

bool StartGameProcess(const std::filesystem::path& executable, const std::filesystem::path& workingDir,
                      std::uint32_t&) {
    g_started.emplace_back(executable, workingDir);
    return true;
}
