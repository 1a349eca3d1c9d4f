#pragma once
// What the remote version.txt says a package must be, and the running size
// and SHA-256 of a package body taken while it arrives.

#include <cstdint>
#include <optional>
#include <string>

#include "integrity/sha256.h"

// Fields hold the published text; an absent field is not checked.
struct PackageCheck {
    std::optional<std::string> sha256;  // 64 hex digits, either case
    std::optional<std::string> size;    // decimal byte count
    // SHA-256 of the package from its first central-directory entry to its
    // end, and so of every entry's digest field: what lets the differential
    // update trust a directory it fetched on its own.
    std::optional<std::string> indexSha256{};
};

struct BodyTally {
    std::uint64_t size = 0;
    bool hashing = false;
    Sha256 hash;
};

// Hashes only when the check asks for a SHA-256.
BodyTally StartTally(const PackageCheck& check);
void TallyBody(BodyTally& tally, const void* data, std::size_t size);

// Empty when the body is what the check asks for; otherwise what differs, as
// "size expected N, actual M" and/or "sha256 expected X, actual Y". A field
// that is not a valid size or digest never matches.
std::wstring DescribeMismatch(const PackageCheck& check, BodyTally& tally);
