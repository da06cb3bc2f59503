// The web server's settings as the command line gives them, and their
// checks: --http [ADDR:]PORT, --http-token FILE, --http-history N. Each
// check returns the reason a value is refused ("--http: ..."), empty when it
// is good, so that the option table reports it as a usage error (exit 2).
// Not here: the option table itself, serving.
#pragma once

#include <cstddef>
#include <string>

namespace station::web {

struct HttpAddress {
    std::string host = "127.0.0.1";  // as bound: an IPv4 or IPv6 literal (no brackets) or a name
    unsigned port = 0;
    bool loopback = true;  // 127.0.0.0/8, ::1 or localhost
};

// "8080", "127.0.0.1:8080", "0.0.0.0:8080", "[::1]:8080", "line7.local:8080".
// Port 1 to 65535; no address means 127.0.0.1.
std::string ParseHttpAddress(const std::string& text, HttpAddress* out);

// The bearer secret from a file: one line of at least 16 visible ASCII
// characters (a trailing newline is allowed), none of them a space, quote,
// comma, semicolon or backslash, so that it travels unchanged in a header
// and a cookie.
constexpr std::size_t kMinTokenBytes = 16;
std::string LoadToken(const std::string& path, std::string* token);

// --http-history: runs kept for /api/v1/runs, 1 to 1,000,000.
constexpr std::size_t kDefaultHistory = 10000;
std::string ParseHistory(const std::string& text, std::size_t* out);

// The rule across the options: an address that is not loopback is served
// only with a token.
std::string CheckHttpSecurity(const HttpAddress& address, const std::string& token);

}  // namespace station::web
