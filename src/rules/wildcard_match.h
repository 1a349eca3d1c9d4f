#pragma once
// Whole-string wildcard matching of safelist entries against relative paths.

#include <string>

// The project's matcher: '*' stands for any run of characters (separators
// included), '?' for exactly one character, the whole text must match, and
// the case of A to Z is ignored. No other character is special.
bool MatchesWildcard(const std::wstring& text, const std::wstring& pattern);

// The platform's matcher: PathMatchSpecW on Windows, MatchesWildcard elsewhere.
bool PlatformPathMatchSpec(const std::wstring& text, const std::wstring& pattern);
