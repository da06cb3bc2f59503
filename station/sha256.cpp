// The digest as hex, over the platform's hash (sha256_posix.cpp,
// sha256_windows.cpp).
#include "station/sha256.h"

namespace station {

std::string Sha256Hex(std::span<const std::uint8_t> bytes) {
    static const char kDigits[] = "0123456789abcdef";
    Sha256 hash;
    hash.Update(bytes);
    std::string hex;
    for (const std::uint8_t b : hash.Finish()) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 15];
    }
    return hex;
}

}  // namespace station
