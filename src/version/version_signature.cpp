#include "version/version_signature.h"

#include <fstream>
#include <optional>
#include <string>

#include "base/ascii_case.h"
#include "base/log.h"
#include "base/long_path.h"
#include "integrity/base64.h"
#include "integrity/release_key.h"
#include "integrity/signature.h"
#include "version/version_file.h"

namespace {

// No signed version.txt comes near this; a larger file is refused unread.
constexpr std::size_t kMaxSignedFileSize = 64 * 1024;

struct SignatureLine {
    std::size_t count = 0;
    std::size_t start = 0;
    std::size_t length = 0;  // with its line end
    std::string_view value;
};

SignatureLine FindSignatureLine(std::string_view bytes) {
    SignatureLine found;
    for (std::size_t start = 0; start < bytes.size();) {
        std::size_t end = bytes.find('\n', start);
        end = end == std::string_view::npos ? bytes.size() : end + 1;
        std::string_view line = bytes.substr(start, end - start);
        std::size_t colon = line.find(':');
        if (colon != std::string_view::npos &&
            EqualsIgnoringAsciiCase(TrimBlanks(line.substr(0, colon)), "signature")) {
            ++found.count;
            found = {found.count, start, end - start, TrimBlanks(line.substr(colon + 1))};
        }
        start = end;
    }
    return found;
}

bool ReadSmallFile(const std::filesystem::path& file, std::string& bytes) {
    std::ifstream in(LongPath(file), std::ios::binary);
    bytes.assign(kMaxSignedFileSize + 1, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return !in.bad() && bytes.size() <= kMaxSignedFileSize;
}

const wchar_t* Reason(SignatureVerdict verdict) {
    switch (verdict) {
        case SignatureVerdict::Missing: return L"it carries no signature line";
        case SignatureVerdict::Malformed: return L"its signature line is malformed";
        case SignatureVerdict::Wrong: return L"its signature does not match the release key";
        case SignatureVerdict::KeyUnusable: return L"the release key built into this updater is unusable";
        case SignatureVerdict::Valid: break;
    }
    return L"";
}

// The checksum keys that info lacks, as "update-sha256, maps-size".
std::wstring MissingChecksumKeys(const VersionInfo& info) {
    std::wstring missing;
    auto note = [&](const std::optional<std::string>& value, const wchar_t* key) {
        if (!value) missing += (missing.empty() ? L"" : L", ") + std::wstring(key);
    };
    note(info.updatePackage.sha256, L"update-sha256");
    note(info.updatePackage.size, L"update-size");
    note(info.mapsPackage.sha256, L"maps-sha256");
    note(info.mapsPackage.size, L"maps-size");
    return missing;
}

}  // namespace

SignatureVerdict CheckVersionSignature(std::string_view fileBytes, std::string_view publicKeyPem) {
    EcPublicKey key;
    if (!ParsePublicKeyPem(publicKeyPem, key)) return SignatureVerdict::KeyUnusable;
    const SignatureLine line = FindSignatureLine(fileBytes);
    if (line.count == 0) return SignatureVerdict::Missing;
    std::string der;
    RawSignature signature{};
    if (line.count > 1 || !DecodeBase64(line.value, der) || !ParseDerSignature(der, signature))
        return SignatureVerdict::Malformed;
    std::string signedBytes(fileBytes);
    signedBytes.erase(line.start, line.length);
    Sha256Digest digest{};
    if (!Sha256Of(signedBytes, digest)) return SignatureVerdict::Wrong;
    return VerifyP256Signature(key, digest, signature) ? SignatureVerdict::Valid : SignatureVerdict::Wrong;
}

bool RemoteVersionIsSigned(const std::filesystem::path& file) {
    const std::string_view key = ReleasePublicKeyPem();
    if (key.empty()) return true;
    std::string bytes;
    SignatureVerdict verdict =
        ReadSmallFile(file, bytes) ? CheckVersionSignature(bytes, key) : SignatureVerdict::Malformed;
    if (verdict == SignatureVerdict::Valid) return true;
    LogLine(std::wstring(L"Remote version.txt refused: ") + Reason(verdict) + L". Proceeding without update.");
    return false;
}

bool RemoteVersionChecksEveryByte(const VersionInfo& info) {
    const std::wstring missing = MissingChecksumKeys(info);
    if (ReleasePublicKeyPem().empty() || missing.empty()) return true;
    LogLine(L"Remote version.txt refused: a signed release must name every checksum, and it lacks " + missing +
            L". Proceeding without update.");
    return false;
}
