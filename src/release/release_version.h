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
};

// Hashes a written package with the updater's own SHA-256.
bool DigestPackage(const std::filesystem::path& package, PackageDigest& digest);

// The unsigned text, CR LF lines.
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
