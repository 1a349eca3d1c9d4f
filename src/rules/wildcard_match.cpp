#include "rules/wildcard_match.h"

#include "base/ascii_case.h"

// Greedy scan that remembers the last '*': on a mismatch the star takes one
// more character and the scan resumes. Linear space, at worst text x pattern time.
bool MatchesWildcard(const std::wstring& text, const std::wstring& pattern) {
    std::size_t t = 0, p = 0;
    std::size_t starAt = std::wstring::npos, resumeAt = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            starAt = p++;
            resumeAt = t;
        } else if (p < pattern.size() && (pattern[p] == L'?' || AsciiToLower(pattern[p]) == AsciiToLower(text[t]))) {
            ++p;
            ++t;
        } else if (starAt != std::wstring::npos) {
            p = starAt + 1;
            t = ++resumeAt;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') ++p;
    return p == pattern.size();
}
