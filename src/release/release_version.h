#pragma once
// The release's version.txt: the two versions, the packages' sizes and
// SHA-256 digests and, with a signing key, the signature line.

#include <openssl/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
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

// A private key read and unlocked once, before any package is written.
using SigningKey = std::shared_ptr<EVP_PKEY>;

// Reads the PEM private key, in one read (a pipe works too), and checks that
// it makes signatures the updater accepts (ECDSA P-256). An encrypted key is
// unlocked with the first line of passphraseFile or, without one, with a
// passphrase asked once on the terminal. False with a message that says what
// to do, also when the key is encrypted and neither way is open.
bool LoadSigningKey(const std::filesystem::path& keyFile, const std::filesystem::path& passphraseFile, SigningKey& key,
    std::string& error);

// Appends "signature: <base64 DER>" made with the key over SHA-256 of the
// text, then checks the result with the updater's own verifier and the key's
// public half. False with a message.
bool SignVersionText(std::string& text, const SigningKey& key, std::string& error);
