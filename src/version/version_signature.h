#pragma once
// The "signature:" line of the remote version.txt: a base64 DER ECDSA P-256
// signature over SHA-256 of the file's exact bytes with that one line (and its
// line end) removed, as `openssl dgst -sha256 -sign` makes it. A build with a
// release key also requires such a file to name all four checksum keys.

#include <filesystem>
#include <string_view>

#include "version/version_file.h"

enum class SignatureVerdict { Valid, Missing, Malformed, Wrong, KeyUnusable };

// Checks the bytes of a version file against a PEM public key.
SignatureVerdict CheckVersionSignature(std::string_view fileBytes, std::string_view publicKeyPem);

// True when the build has no release key, or when the file is signed by it;
// otherwise logs why the file is refused.
bool RemoteVersionIsSigned(const std::filesystem::path& file);

// True when the build has no release key, or when the remote version names
// every checksum: a signed release must authenticate every byte it installs.
// Otherwise logs which keys it lacks.
bool RemoteVersionChecksEveryByte(const VersionInfo& info);
