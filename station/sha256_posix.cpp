// SHA-256 through nettle (Debian's nettle-dev), which cannot fail.
#include <nettle/sha2.h>

#include "station/sha256.h"

namespace station {

struct Sha256::State {
    sha256_ctx context;
};

Sha256::Sha256() : state_(std::make_unique<State>()) { sha256_init(&state_->context); }

Sha256::~Sha256() = default;

void Sha256::Update(std::span<const std::uint8_t> bytes) {
    sha256_update(&state_->context, bytes.size(), bytes.data());
}

std::array<std::uint8_t, 32> Sha256::Finish() {
    static_assert(SHA256_DIGEST_SIZE == 32);
    std::array<std::uint8_t, 32> digest{};
    sha256_digest(&state_->context, digest.size(), digest.data());
    return digest;
}

}  // namespace station
