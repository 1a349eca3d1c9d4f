#include "integrity/sha256.h"

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool Sha256Of(std::string_view bytes, Sha256Digest& digest) {
    Sha256 hash = StartSha256();
    AddToSha256(hash, bytes.data(), bytes.size());
    return FinishSha256(hash, digest);
}

std::string DigestToHex(const Sha256Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (std::uint8_t byte : digest) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0F];
    }
    return hex;
}

bool ParseHexDigest(std::string_view text, Sha256Digest& digest) {
    if (text.size() != digest.size() * 2) return false;
    for (std::size_t i = 0; i < digest.size(); ++i) {
        int high = HexValue(text[2 * i]);
        int low = HexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        digest[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}
