#include "release/release_version.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

#include "integrity/base64.h"
#include "integrity/sha256.h"
#include "release/passphrase_prompt.h"
#include "version/version_signature.h"
#include "zip/zip_format.h"

namespace {

template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, std::integral_constant<decltype(Free), Free>>;

// A PEM key is a few hundred bytes; a larger file is no key (and /dev/zero never ends).
constexpr std::size_t kMaxKeyFileSize = 64 * 1024;

bool ReadKeyFile(const std::filesystem::path& file, std::string& bytes) {
    std::ifstream in(file, std::ios::binary);
    bytes.assign(kMaxKeyFileSize + 1, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return in.is_open() && !in.bad() && bytes.size() <= kMaxKeyFileSize;
}

// What OpenSSL asks for when, and only when, the key is encrypted.
struct PassphraseSource {
    const std::filesystem::path& keyFile;
    const std::filesystem::path& passphraseFile;
    bool asked = false;
    std::string problem;
};

bool ReadPassphrase(PassphraseSource& source, std::string& passphrase) {
    if (source.passphraseFile.empty()) {
        if (AskPassphraseOnTerminal("Passphrase for " + source.keyFile.string() + ": ", passphrase)) return true;
        source.problem = source.keyFile.string() +
                         " is encrypted and there is no terminal to ask its passphrase on: give it with "
                         "--key-passphrase-file FILE";
        return false;
    }
    std::ifstream in(source.passphraseFile, std::ios::binary);
    if (!in || !std::getline(in, passphrase)) {
        source.problem = "cannot read the passphrase from " + source.passphraseFile.string();
        return false;
    }
    if (!passphrase.empty() && passphrase.back() == '\r') passphrase.pop_back();
    return true;
}

int ProvidePassphrase(char* buffer, int size, int, void* data) {
    auto& source = *static_cast<PassphraseSource*>(data);
    source.asked = true;
    std::string passphrase;
    if (!ReadPassphrase(source, passphrase)) return -1;
    if (passphrase.size() > static_cast<std::size_t>(size)) {
        source.problem = "the passphrase is longer than " + std::to_string(size) + " bytes";
        return -1;
    }
    std::memcpy(buffer, passphrase.data(), passphrase.size());
    return static_cast<int>(passphrase.size());
}

bool SignBytes(EVP_PKEY* key, const std::string& bytes, std::string& der) {
    Owned<EVP_MD_CTX, EVP_MD_CTX_free> context(EVP_MD_CTX_new());
    std::size_t length = 0;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &length, nullptr, 0) != 1)
        return false;
    der.assign(length, '\0');
    auto* out = reinterpret_cast<unsigned char*>(der.data());
    if (EVP_DigestSign(
            context.get(), out, &length, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) != 1)
        return false;
    der.resize(length);
    return true;
}

// The key's public half as the PEM that a build embeds.
std::string PublicKeyPem(EVP_PKEY* key) {
    unsigned char* der = nullptr;
    int length = i2d_PUBKEY(key, &der);
    if (length <= 0) return {};
    std::string body = EncodeBase64(std::string(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length)));
    OPENSSL_free(der);
    std::string pem = "-----BEGIN PUBLIC KEY-----\n";
    for (std::size_t i = 0; i < body.size(); i += 64) pem += body.substr(i, 64) + "\n";
    return pem + "-----END PUBLIC KEY-----\n";
}

// Where the package's central directory begins, read with the updater's reader.
std::optional<std::uint64_t> DirectoryOffset(const std::filesystem::path& package) {
    ZipInput input;
    ZipDirectory directory;
    if (!OpenZipInput(package, input) || !FindZipDirectory(input, directory)) return std::nullopt;
    return directory.offset;
}

}  // namespace

bool DigestPackage(const std::filesystem::path& package, PackageDigest& digest) {
    std::optional<std::uint64_t> indexFrom = DirectoryOffset(package);
    std::ifstream in(package, std::ios::binary);
    Sha256 hash = StartSha256(), index = StartSha256();
    std::vector<char> buffer(1 << 20);
    digest.size = 0;
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
        const auto got = static_cast<std::uint64_t>(in.gcount());
        AddToSha256(hash, buffer.data(), got);
        if (indexFrom && digest.size + got > *indexFrom) {
            const std::uint64_t skip = *indexFrom > digest.size ? *indexFrom - digest.size : 0;
            AddToSha256(index, buffer.data() + skip, got - skip);
        }
        digest.size += got;
    }
    Sha256Digest value{}, indexValue{};
    if (in.bad() || !in.eof() || !FinishSha256(hash, value)) return false;
    digest.sha256 = DigestToHex(value);
    digest.indexSha256.clear();
    if (indexFrom && FinishSha256(index, indexValue)) digest.indexSha256 = DigestToHex(indexValue);
    return true;
}

std::string ReleaseVersionText(const std::string& gameVersion, const std::string& updaterVersion,
    const PackageDigest& update, const PackageDigest& maps) {
    const std::string index = update.indexSha256.empty() ? "" : "update-index-sha256: " + update.indexSha256 + "\r\n";
    return "game-version: " + gameVersion + "\r\nupdater-version: " + updaterVersion +
           "\r\nupdate-sha256: " + update.sha256 + "\r\nupdate-size: " + std::to_string(update.size) + "\r\n" + index +
           "maps-sha256: " + maps.sha256 + "\r\nmaps-size: " + std::to_string(maps.size) + "\r\n";
}

bool LoadSigningKey(const std::filesystem::path& keyFile, const std::filesystem::path& passphraseFile, SigningKey& key,
    std::string& error) {
    std::string pem;
    if (!ReadKeyFile(keyFile, pem)) {
        error = "cannot read " + keyFile.string();
        return false;
    }
    PassphraseSource source{keyFile, passphraseFile, false, {}};
    Owned<BIO, BIO_free_all> bytes(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    key.reset(
        bytes ? PEM_read_bio_PrivateKey(bytes.get(), nullptr, &ProvidePassphrase, &source) : nullptr, EVP_PKEY_free);
    if (!key) {
        error = !source.problem.empty() ? source.problem
                : source.asked          ? "cannot unlock " + keyFile.string() + ": wrong passphrase"
                               : "cannot sign with " + keyFile.string() + " (a PEM ECDSA P-256 private key is needed)";
        return false;
    }
    std::string probe;
    if (!SignVersionText(probe, key, error)) {
        error = keyFile.string() + ": " + error;
        return false;
    }
    return true;
}

bool SignVersionText(std::string& text, const SigningKey& key, std::string& error) {
    std::string der;
    if (!key || !SignBytes(key.get(), text, der)) {
        error = "the key cannot sign";
        return false;
    }
    const std::string signedText = text + "signature: " + EncodeBase64(der) + "\r\n";
    if (CheckVersionSignature(signedText, PublicKeyPem(key.get())) != SignatureVerdict::Valid) {
        error = "not an ECDSA P-256 key, which players' updaters require";
        return false;
    }
    text = signedText;
    return true;
}
