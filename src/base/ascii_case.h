#pragma once
// Letter-case rules of the safelist, the data directory, version.txt keys and
// reserved device names: only A to Z and a to z are folded, as _wcsicmp and
// _wcsnicmp do; é and É stay different.

#include <string_view>

wchar_t AsciiToLower(wchar_t c);
// True when the two texts are equal apart from the case of A to Z (_wcsicmp == 0).
bool EqualsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b);
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);
// True when text begins with prefix apart from the case of A to Z (_wcsnicmp == 0).
bool StartsWithIgnoringAsciiCase(std::wstring_view text, std::wstring_view prefix);
