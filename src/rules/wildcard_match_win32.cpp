#include <windows.h>
#include <shlwapi.h>

#include "rules/wildcard_match.h"

bool PlatformPathMatchSpec(const std::wstring& text, const std::wstring& pattern) {
    return PathMatchSpecW(text.c_str(), pattern.c_str()) != FALSE;
}
