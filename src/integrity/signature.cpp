#include "integrity/signature.h"

#include <algorithm>

#include "integrity/base64.h"

namespace {

// SubjectPublicKeyInfo { id-ecPublicKey, prime256v1 } followed by a BIT STRING
// whose content is 04 (uncompressed) || X || Y: every P-256 key in PEM starts so.
constexpr std::uint8_t kP256KeyPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01,
    0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
constexpr std::string_view kPemBegin = "-----BEGIN PUBLIC KEY-----";
constexpr std::string_view kPemEnd = "-----END PUBLIC KEY-----";

std::string_view PrefixBytes() { return {reinterpret_cast<const char*>(kP256KeyPrefix), sizeof kP256KeyPrefix}; }

// Reads one DER INTEGER at `at` into a 32-byte big-endian field: positive,
// minimally encoded, at most 32 significant bytes.
bool ReadInteger(std::string_view der, std::size_t& at, std::uint8_t* field) {
    if (der.size() - at < 2 || der[at] != 0x02) return false;
    std::size_t length = static_cast<std::uint8_t>(der[at + 1]);
    at += 2;
    if (length == 0 || length > 33 || der.size() - at < length) return false;
    std::string_view value = der.substr(at, length);
    at += length;
    if (static_cast<std::uint8_t>(value[0]) & 0x80) return false;  // negative
    if (value[0] == 0) {
        if (length == 1 || !(static_cast<std::uint8_t>(value[1]) & 0x80)) return false;  // not minimal
        value.remove_prefix(1);
    }
    if (value.size() > 32) return false;
    std::fill(field, field + 32, 0);
    std::copy(value.begin(), value.end(), field + 32 - value.size());
    return true;
}

}  // namespace

bool ParsePublicKeyPem(std::string_view pem, EcPublicKey& key) {
    std::size_t begin = pem.find(kPemBegin);
    std::size_t end = pem.find(kPemEnd);
    if (begin == std::string_view::npos || end == std::string_view::npos || end < begin) return false;
    std::string body;
    for (char c : pem.substr(begin + kPemBegin.size(), end - begin - kPemBegin.size()))
        if (c != '\r' && c != '\n' && c != ' ' && c != '\t') body += c;
    std::string der;
    if (!DecodeBase64(body, der) || der.size() != PrefixBytes().size() + key.point.size() ||
        !der.starts_with(PrefixBytes()))
        return false;
    std::copy(der.begin() + static_cast<std::ptrdiff_t>(PrefixBytes().size()), der.end(), key.point.begin());
    return true;
}

std::string PublicKeyDer(const EcPublicKey& key) {
    return std::string(PrefixBytes()) + std::string(key.point.begin(), key.point.end());
}

bool ParseDerSignature(std::string_view der, RawSignature& signature) {
    if (der.size() < 2 || der[0] != 0x30 || static_cast<std::uint8_t>(der[1]) != der.size() - 2) return false;
    std::size_t at = 2;
    return ReadInteger(der, at, signature.data()) && ReadInteger(der, at, signature.data() + 32) && at == der.size();
}
