#include "integrity/base64.h"

#include <cstdint>

namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

bool DecodeBase64(std::string_view text, std::string& bytes) {
    bytes.clear();
    if (text.size() % 4 != 0) return false;
    std::size_t padding = text.ends_with("==") ? 2 : text.ends_with('=') ? 1 : 0;
    for (std::size_t group = 0; group < text.size(); group += 4) {
        bool last = group + 4 == text.size();
        std::uint32_t bits = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            std::size_t value = last && i >= 4 - padding ? 0 : kAlphabet.find(text[group + i]);
            if (value == std::string_view::npos) return false;
            bits = bits << 6 | static_cast<std::uint32_t>(value);
        }
        bytes += static_cast<char>(bits >> 16);
        if (!last || padding < 2) bytes += static_cast<char>(bits >> 8 & 0xFF);
        if (!last || padding < 1) bytes += static_cast<char>(bits & 0xFF);
    }
    return true;
}

std::string EncodeBase64(std::string_view bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::size_t count = bytes.size() - i < 3 ? bytes.size() - i : 3;
        std::uint32_t bits = 0;
        for (std::size_t k = 0; k < 3; ++k)
            bits = bits << 8 | (k < count ? static_cast<std::uint8_t>(bytes[i + k]) : 0u);
        for (std::size_t k = 0; k < 4; ++k) text += k <= count ? kAlphabet[bits >> (18 - 6 * k) & 0x3F] : '=';
    }
    return text;
}
