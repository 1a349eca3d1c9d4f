// ECDSA P-256 verification over CNG: the key imported as an ECC public blob,
// the signature given as raw r || s.

#include <windows.h>
#include <bcrypt.h>

#include <cstring>

#include "integrity/signature.h"

namespace {

struct EccPublicBlob {
    BCRYPT_ECCKEY_BLOB header;
    UCHAR point[64];
};

bool VerifyWithProvider(
    BCRYPT_ALG_HANDLE algorithm, const EcPublicKey& key, const Sha256Digest& digest, const RawSignature& signature) {
    EccPublicBlob blob{};
    blob.header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    blob.header.cbKey = 32;
    std::memcpy(blob.point, key.point.data(), sizeof blob.point);
    BCRYPT_KEY_HANDLE handle = nullptr;
    if (!BCRYPT_SUCCESS(BCryptImportKeyPair(
            algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &handle, reinterpret_cast<UCHAR*>(&blob), sizeof blob, 0)))
        return false;
    Sha256Digest hash = digest;
    RawSignature raw = signature;
    NTSTATUS status = BCryptVerifySignature(
        handle, nullptr, hash.data(), static_cast<ULONG>(hash.size()), raw.data(), static_cast<ULONG>(raw.size()), 0);
    BCryptDestroyKey(handle);
    return status == 0;  // STATUS_SUCCESS; a wrong signature gives STATUS_INVALID_SIGNATURE
}

}  // namespace

bool VerifyP256Signature(const EcPublicKey& key, const Sha256Digest& digest, const RawSignature& signature) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) return false;
    bool valid = VerifyWithProvider(algorithm, key, digest, signature);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return valid;
}
