#pragma once
// Base64 (the standard alphabet, with '=' padding), as `base64` and PEM write it.

#include <string>
#include <string_view>

// False for anything but whole groups of four alphabet characters, with at
// most two '=' at the very end.
bool DecodeBase64(std::string_view text, std::string& bytes);
std::string EncodeBase64(std::string_view bytes);
