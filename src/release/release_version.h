#pragma once
// The release's version.txt: the two versions, the packages' sizes and
// SHA-256 digests and, with a signing key, the signature line.

#include <cstdint>
#include <filesystem>
#include <string>

struct PackageDigest {
    std::uint64_t size = 0;
    std::string sha256;  // lower-case hex
    // Of the package from its first central-directory entry to its end; empty
    // when it is no ZIP package.
    std::string indexSha256{};
};

// Hashes a written package with the updater's own SHA-256, whole and from its
// central directory on.
bool DigestPackage(const std::filesystem::path& package, PackageDigest& digest);

// The unsigned text, CR LF lines; "update-index-sha256" when the update
// package's index digest is known.
std::string ReleaseVersionText(const std::string& gameVersion, const std::string& updaterVersion,
                               const PackageDigest& update, const PackageDigest& maps);

// Appends "signature: <base64 DER>" made with the PEM private key (ECDSA
// P-256) over SHA-256 of the text, then checks the result with the updater's
// own verifier and the key's public half. False with a message.
bool SignVersionText(std::string& text, const std::filesystem::path& keyFile, std::string& error);
