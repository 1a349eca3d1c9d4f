#include "fake_platform.h"

#include "base/free_space.h"
#include "base/text.h"
#include "front_end_channel/progress.h"
#include "integrity/release_key.h"
#include "integrity/signature.h"
#include "launch/game_launch.h"
#include "net/http_exchange.h"
#include "userdata/data_directory.h"

namespace fake_platform {

std::map<std::wstring, std::string> g_served;
std::vector<std::wstring> g_requested;
std::optional<std::uint64_t> g_freeBytes;
std::vector<std::wstring> g_frontEnd;
std::filesystem::path g_documents;
std::vector<std::pair<std::filesystem::path, std::filesystem::path>> g_started;
bool g_signedBuild = false;

}  // namespace fake_platform

using namespace fake_platform;

// Whole bodies only: a Range is answered with the whole file, as a server
// without ranges answers it.
HttpOutcome HttpGet(const HttpRequest& request, const HttpHandlers& handlers) {
    g_requested.push_back(request.url + (request.range.empty() ? L"" : L" " + Utf8ToWide(request.range)));
    const auto served = g_served.find(request.url);
    const std::string body = served == g_served.end() ? "" : served->second;
    const HttpHead head{served == g_served.end() ? 404 : 200, body.size()};
    if (!handlers.head(head) || (!body.empty() && !handlers.body(body.data(), body.size())))
        return {HttpEnd::Stopped, L"stopped"};
    return {HttpEnd::Complete, {}};
}

// A fake whose signature drifted from the header's would be a second overload,
// and the real transfer would be linked in silently; taking the address of an
// overloaded name does not compile, so such drift fails the build here.
[[maybe_unused]] static const auto kFakeTransfer = &HttpGet;

void PostStatus(const std::wstring& text) { g_frontEnd.push_back(text); }
void PostProgress(int percent) { g_frontEnd.push_back(std::to_wstring(percent) + L"%"); }
void PostProgressAmount(const std::wstring&) {}
void PostWorkerDone() { g_frontEnd.push_back(L"worker done"); }
void PostCloseRequest() { g_frontEnd.push_back(L"close"); }

std::filesystem::path FindDocumentsFolder() { return g_documents; }

std::optional<std::uint64_t> FreeBytesOn(const std::filesystem::path&) { return g_freeBytes; }

bool StartGameProcess(
    const std::filesystem::path& executable, const std::filesystem::path& workingDir, std::uint32_t&) {
    g_started.emplace_back(executable, workingDir);
    return true;
}

// tests/e2e/keys/release_test_key.pub.pem
std::string_view ReleasePublicKeyPem() {
    return g_signedBuild ? "-----BEGIN PUBLIC KEY-----\n"
                           "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEYZUzjrGwYu7w3osJfC6AVL/qHJ4M\n"
                           "6QrOLHPCI4HE/PvGJtHJ9wcLq7ysRiASRa1yclgkPwTFH9SoLjl06hNRjQ==\n"
                           "-----END PUBLIC KEY-----\n"
                         : "";
}

bool VerifyP256Signature(const EcPublicKey&, const Sha256Digest&, const RawSignature& signature) {
    RawSignature test{};
    test[31] = 1, test[63] = 2;
    return signature == test;
}
