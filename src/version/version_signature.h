#pragma once
// The "signature:" line of the remote version.txt: a base64 DER ECDSA P-256
// signature over SHA-256 of the file's exact bytes with that one line (and its
// line end) removed, as `openssl dgst -sha256 -sign` makes it.

#include <filesystem>
#include <string_view>

enum class SignatureVerdict { Valid, Missing, Malformed, Wrong, KeyUnusable };

// Checks the bytes of a version file against a PEM public key.
SignatureVerdict CheckVersionSignature(std::string_view fileBytes, std::string_view publicKeyPem);

// True when the build has no release key, or when the file is signed by it;
// otherwise logs why the file is refused.
bool RemoteVersionIsSigned(const std::filesystem::path& file);
