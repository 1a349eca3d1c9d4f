// ECDSA P-256 verification over libcrypto's EVP interface.

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <type_traits>

#include "integrity/signature.h"

namespace {

template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, std::integral_constant<decltype(Free), Free>>;

// libcrypto takes the signature as DER: the validated r and s, re-encoded.
std::string CanonicalDer(const RawSignature& signature) {
    Owned<ECDSA_SIG, ECDSA_SIG_free> value(ECDSA_SIG_new());
    BIGNUM* r = BN_bin2bn(signature.data(), 32, nullptr);
    BIGNUM* s = BN_bin2bn(signature.data() + 32, 32, nullptr);
    if (!value || r == nullptr || s == nullptr || ECDSA_SIG_set0(value.get(), r, s) != 1) {
        BN_free(r);
        BN_free(s);
        return {};
    }
    unsigned char* der = nullptr;
    int length = i2d_ECDSA_SIG(value.get(), &der);
    if (length <= 0) return {};
    std::string bytes(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return bytes;
}

}  // namespace

bool VerifyP256Signature(const EcPublicKey& key, const Sha256Digest& digest, const RawSignature& signature) {
    const std::string keyDer = PublicKeyDer(key);
    const auto* keyBytes = reinterpret_cast<const unsigned char*>(keyDer.data());
    Owned<EVP_PKEY, EVP_PKEY_free> publicKey(d2i_PUBKEY(nullptr, &keyBytes, static_cast<long>(keyDer.size())));
    const std::string signatureDer = CanonicalDer(signature);
    if (!publicKey || signatureDer.empty()) return false;
    Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free> context(EVP_PKEY_CTX_new(publicKey.get(), nullptr));
    return context && EVP_PKEY_verify_init(context.get()) == 1 &&
           EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) == 1 &&
           EVP_PKEY_verify(context.get(), reinterpret_cast<const unsigned char*>(signatureDer.data()),
               signatureDer.size(), digest.data(), digest.size()) == 1;
}
