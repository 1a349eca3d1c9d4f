#pragma once
// The release's version.txt: the two versions, the packages' sizes and
// SHA-256 digests and, with a signing key, the signature line.

#include <cstdint>
#include <filesystem>
#include <string>

struct PackageDigest {
    std::uint64_t size = 0;
    std::string sha256;  // lower-case hex
};

// Hashes a written package with the updater's own SHA-256.
bool DigestPackage(const std::filesystem::path& package, PackageDigest& digest);

// The unsigned text, CR LF lines.
std::string ReleaseVersionText(const std::string& gameVersion, const std::string& updaterVersion,
                               const PackageDigest& update, const PackageDigest& maps);

// Appends "signature: <base64 DER>" made with the PEM private key (ECDSA
// P-256) over SHA-256 of the text, then checks the result with the updater's
// own verifier and the key's public half. False with a message.
bool SignVersionText(std::string& text, const std::filesystem::path& keyFile, std::string& error);
