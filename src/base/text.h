#pragma once
// Conversions between the byte strings read from files, file-system paths and
// the wide text used for the log and the window. None of them ever fails.

#include <filesystem>
#include <string>

// UTF-8 bytes to wide text; each invalid sequence becomes U+FFFD.
std::wstring Utf8ToWide(const std::string& bytes);

// Wide text to UTF-8 bytes; unpaired surrogates become U+FFFD.
std::string WideToUtf8(const std::wstring& text);

// A path as wide text for the log (on POSIX its bytes decoded as UTF-8).
std::wstring PathToWide(const std::filesystem::path& path);

// Wide text (a name from a pattern or a literal) as a native path.
std::filesystem::path WideToPath(const std::wstring& text);
