#include "release/release_version.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <fstream>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

#include "integrity/base64.h"
#include "integrity/sha256.h"
#include "version/version_signature.h"
#include "zip/zip_format.h"

namespace {

template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, std::integral_constant<decltype(Free), Free>>;

Owned<EVP_PKEY, EVP_PKEY_free> ReadPrivateKey(const std::filesystem::path& keyFile) {
    Owned<BIO, BIO_free_all> file(BIO_new_file(keyFile.c_str(), "r"));
    return Owned<EVP_PKEY, EVP_PKEY_free>(file ? PEM_read_bio_PrivateKey(file.get(), nullptr, nullptr, nullptr)
                                               : nullptr);
}

bool SignBytes(EVP_PKEY* key, const std::string& bytes, std::string& der) {
    Owned<EVP_MD_CTX, EVP_MD_CTX_free> context(EVP_MD_CTX_new());
    std::size_t length = 0;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &length, nullptr, 0) != 1)
        return false;
    der.assign(length, '\0');
    auto* out = reinterpret_cast<unsigned char*>(der.data());
    if (EVP_DigestSign(context.get(), out, &length, reinterpret_cast<const unsigned char*>(bytes.data()),
                       bytes.size()) != 1)
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

bool SignVersionText(std::string& text, const std::filesystem::path& keyFile, std::string& error) {
    auto key = ReadPrivateKey(keyFile);
    std::string der;
    if (!key || !SignBytes(key.get(), text, der)) {
        error = "cannot sign with " + keyFile.string() + " (a PEM ECDSA P-256 private key is needed)";
        return false;
    }
    const std::string signedText = text + "signature: " + EncodeBase64(der) + "\r\n";
    if (CheckVersionSignature(signedText, PublicKeyPem(key.get())) != SignatureVerdict::Valid) {
        error = keyFile.string() + " is not an ECDSA P-256 key, which players' updaters require";
        return false;
    }
    text = signedText;
    return true;
}
