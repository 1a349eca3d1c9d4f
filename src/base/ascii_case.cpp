#include "base/ascii_case.h"

#include <algorithm>

namespace {

template <typename Char>
Char Lower(Char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<Char>(c - 'A' + 'a') : c;
}

template <typename Char>
bool StartsWith(std::basic_string_view<Char> text, std::basic_string_view<Char> prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](Char a, Char b) { return Lower(a) == Lower(b); });
}

}  // namespace

wchar_t AsciiToLower(wchar_t c) { return Lower(c); }

bool StartsWithIgnoringAsciiCase(std::wstring_view text, std::wstring_view prefix) { return StartsWith(text, prefix); }

bool EqualsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() && StartsWith(a, b);
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && StartsWith(a, b);
}
