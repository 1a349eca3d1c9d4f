#pragma once
// ECDSA P-256 signatures over SHA-256 digests. The key and signature formats
// are read here, the same on every platform; the verification itself is the
// platform's: CNG on Windows, libcrypto on POSIX.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "integrity/sha256.h"

struct EcPublicKey {
    std::array<std::uint8_t, 64> point{};  // X || Y, big-endian
};

using RawSignature = std::array<std::uint8_t, 64>;  // r || s, big-endian

// A PEM "PUBLIC KEY" (SubjectPublicKeyInfo) holding an uncompressed P-256
// point, as `openssl ec -pubout` writes it; false for any other key.
bool ParsePublicKeyPem(std::string_view pem, EcPublicKey& key);

// A DER ECDSA-Sig-Value (SEQUENCE of the INTEGERs r and s), as
// `openssl dgst -sign` writes it, in strict DER; false for anything else.
bool ParseDerSignature(std::string_view der, RawSignature& signature);

// The DER SubjectPublicKeyInfo of the key (what the PEM holds).
std::string PublicKeyDer(const EcPublicKey& key);

// Platform part: true when the signature is valid for the digest and key.
bool VerifyP256Signature(const EcPublicKey& key, const Sha256Digest& digest, const RawSignature& signature);
