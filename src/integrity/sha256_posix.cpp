// SHA-256 over libcrypto's EVP interface.

#include <openssl/evp.h>

#include "integrity/sha256.h"

struct Sha256State {
    EVP_MD_CTX* context = nullptr;
    bool failed = false;
};

void FreeSha256State(Sha256State* state) {
    if (state == nullptr) return;
    EVP_MD_CTX_free(state->context);
    delete state;
}

Sha256 StartSha256() {
    Sha256 hash;
    hash.state.reset(new Sha256State{EVP_MD_CTX_new()});
    Sha256State& state = *hash.state;
    state.failed = state.context == nullptr || EVP_DigestInit_ex(state.context, EVP_sha256(), nullptr) != 1;
    return hash;
}

void AddToSha256(Sha256& hash, const void* data, std::size_t size) {
    Sha256State& state = *hash.state;
    if (!state.failed && size > 0) state.failed = EVP_DigestUpdate(state.context, data, size) != 1;
}

bool FinishSha256(Sha256& hash, Sha256Digest& digest) {
    Sha256State& state = *hash.state;
    unsigned int length = 0;
    return !state.failed && EVP_DigestFinal_ex(state.context, digest.data(), &length) == 1 && length == digest.size();
}
