#include "base/text.h"

namespace {

// Length of the sequence a lead byte starts, and the valid range of its
// second byte (which rules out overlong forms, surrogates and values past
// U+10FFFF); 0 for a byte that cannot start a sequence.
struct Lead {
    int length;
    unsigned char low;
    unsigned char high;
};

Lead ClassifyLead(unsigned char b) {
    if (b < 0x80) return {1, 0, 0};
    if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
    if (b == 0xE0) return {3, 0xA0, 0xBF};
    if (b == 0xED) return {3, 0x80, 0x9F};
    if (b >= 0xE1 && b <= 0xEF) return {3, 0x80, 0xBF};
    if (b == 0xF0) return {4, 0x90, 0xBF};
    if (b >= 0xF1 && b <= 0xF3) return {4, 0x80, 0xBF};
    if (b == 0xF4) return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

}  // namespace

// Decodes like the Windows converter: a maximal invalid subpart gives one
// U+FFFD and decoding resumes at the byte that broke it.
std::wstring Utf8ToWide(const std::string& bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        auto b = static_cast<unsigned char>(bytes[i]);
        Lead lead = ClassifyLead(b);
        if (lead.length == 1) {
            out += static_cast<wchar_t>(b);
            ++i;
            continue;
        }
        if (lead.length == 0) {
            out += L'\xFFFD';
            ++i;
            continue;
        }
        char32_t cp = b & (0xFF >> (lead.length + 1));
        int taken = 1;
        for (; taken < lead.length && i + taken < bytes.size(); ++taken) {
            auto c = static_cast<unsigned char>(bytes[i + taken]);
            unsigned char low = taken == 1 ? lead.low : 0x80;
            unsigned char high = taken == 1 ? lead.high : 0xBF;
            if (c < low || c > high) break;
            cp = (cp << 6) | (c & 0x3F);
        }
        out += taken == lead.length ? static_cast<wchar_t>(cp) : L'\xFFFD';
        i += taken;
    }
    return out;
}

std::wstring PathToWide(const std::filesystem::path& path) { return Utf8ToWide(path.native()); }

std::filesystem::path WideToPath(const std::wstring& text) { return std::filesystem::path(WideToUtf8(text)); }
