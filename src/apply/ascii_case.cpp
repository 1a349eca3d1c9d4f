#include "apply/ascii_case.h"

wchar_t AsciiToLower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool StartsWithIgnoringAsciiCase(std::wstring_view text, std::wstring_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (AsciiToLower(text[i]) != AsciiToLower(prefix[i])) return false;
    return true;
}

bool EqualsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() && StartsWithIgnoringAsciiCase(a, b);
}
