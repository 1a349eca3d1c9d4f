#pragma once
// SHA-256 through the platform's own implementation: CNG (bcrypt.dll) on
// Windows, libcrypto on POSIX. A hash is fed piece by piece, so a body can be
// hashed while it streams to disk.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

using Sha256Digest = std::array<std::uint8_t, 32>;

struct Sha256State;  // the platform's hashing object
void FreeSha256State(Sha256State* state);

// A running hash. A platform failure at any step makes FinishSha256 false.
struct Sha256 {
    std::unique_ptr<Sha256State, decltype(&FreeSha256State)> state{nullptr, &FreeSha256State};
};

Sha256 StartSha256();
void AddToSha256(Sha256& hash, const void* data, std::size_t size);
bool FinishSha256(Sha256& hash, Sha256Digest& digest);

// The digest of a whole byte string.
bool Sha256Of(std::string_view bytes, Sha256Digest& digest);
// 64 lower-case hex digits.
std::string DigestToHex(const Sha256Digest& digest);
// 64 hex digits of either case; false for anything else.
bool ParseHexDigest(std::string_view text, Sha256Digest& digest);
