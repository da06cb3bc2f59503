// SHA-256 through the system's own BCrypt. A failure carries the call and
// its NTSTATUS; it cannot be silent, since a wrong digest in the log would
// misstate which script a unit got.
#include <windows.h>

#include <bcrypt.h>

#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>

#include "station/sha256.h"

namespace station {
namespace {

void Check(NTSTATUS status, const char* call) {
    if (status >= 0)
        return;
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lx", static_cast<unsigned long>(status));
    throw std::runtime_error(std::string("hashing the script: ") + call + " failed (status " + code + ")");
}

}  // namespace

struct Sha256::State {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    ~State() {
        if (hash != nullptr)
            BCryptDestroyHash(hash);
        if (algorithm != nullptr)
            BCryptCloseAlgorithmProvider(algorithm, 0);
    }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    Check(BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0),
          "BCryptOpenAlgorithmProvider(SHA256)");
    // No object buffer: BCrypt keeps the hash state itself (Windows 7 and later).
    Check(BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0), "BCryptCreateHash");
}

Sha256::~Sha256() = default;

void Sha256::Update(std::span<const std::uint8_t> bytes) {
    // BCryptHashData takes a ULONG length: larger input goes in pieces.
    constexpr std::size_t kPiece = std::numeric_limits<ULONG>::max();
    while (!bytes.empty()) {
        const std::size_t n = bytes.size() < kPiece ? bytes.size() : kPiece;
        Check(BCryptHashData(state_->hash, const_cast<PUCHAR>(bytes.data()), static_cast<ULONG>(n), 0),
              "BCryptHashData");
        bytes = bytes.subspan(n);
    }
}

std::array<std::uint8_t, 32> Sha256::Finish() {
    std::array<std::uint8_t, 32> digest{};
    Check(BCryptFinishHash(state_->hash, digest.data(), static_cast<ULONG>(digest.size()), 0), "BCryptFinishHash");
    return digest;
}

}  // namespace station
