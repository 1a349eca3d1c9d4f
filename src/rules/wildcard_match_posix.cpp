#include "rules/wildcard_match.h"

bool PlatformPathMatchSpec(const std::wstring& text, const std::wstring& pattern) {
    return MatchesWildcard(text, pattern);
}
