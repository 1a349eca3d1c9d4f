// SHA-256 over CNG (bcrypt.dll), which every supported Windows has.

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>

#include "integrity/sha256.h"

struct Sha256State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool failed = false;
};

void FreeSha256State(Sha256State* state) {
    if (state == nullptr) return;
    if (state->hash != nullptr) BCryptDestroyHash(state->hash);
    if (state->algorithm != nullptr) BCryptCloseAlgorithmProvider(state->algorithm, 0);
    delete state;
}

Sha256 StartSha256() {
    Sha256 hash;
    hash.state.reset(new Sha256State);
    Sha256State& state = *hash.state;
    state.failed =
        !BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&state.algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
        !BCRYPT_SUCCESS(BCryptCreateHash(state.algorithm, &state.hash, nullptr, 0, nullptr, 0, 0));
    return hash;
}

void AddToSha256(Sha256& hash, const void* data, std::size_t size) {
    Sha256State& state = *hash.state;
    auto* bytes = static_cast<UCHAR*>(const_cast<void*>(data));
    // BCryptHashData takes at most a ULONG's worth per call.
    while (!state.failed && size > 0) {
        ULONG piece = static_cast<ULONG>(std::min<std::size_t>(size, 1u << 30));
        state.failed = !BCRYPT_SUCCESS(BCryptHashData(state.hash, bytes, piece, 0));
        bytes += piece;
        size -= piece;
    }
}

bool FinishSha256(Sha256& hash, Sha256Digest& digest) {
    Sha256State& state = *hash.state;
    return !state.failed &&
           BCRYPT_SUCCESS(BCryptFinishHash(state.hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
}
