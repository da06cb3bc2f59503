// SHA-256 of a byte string, for the script digest the station logs with
// every run. The hash itself comes from a maintained implementation, one
// definition per platform: nettle on Linux (sha256_posix.cpp), the
// system's own BCrypt on Windows (sha256_windows.cpp). Not here: HMAC,
// streaming across files, or any other hash.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace station {

class Sha256 {
public:
    // Throws std::runtime_error with the system's cause when the platform
    // cannot give a SHA-256 hash (Windows: BCrypt refused it).
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(std::span<const std::uint8_t> bytes);
    // The digest; the object is spent afterwards.
    std::array<std::uint8_t, 32> Finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The digest of bytes as 64 lower-case hex digits; throws as Sha256 does.
std::string Sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace station
