#pragma once
// The release key built into the program (-DUPDATER_PUBLIC_KEY): with it, the
// remote version.txt must be signed by its private half.

#include <string_view>

// The PEM text of the public key; empty when the build requires no signature.
std::string_view ReleasePublicKeyPem();
