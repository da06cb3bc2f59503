// Checks on the web server's command-line values.
#include "station/web/config.h"

#include <cerrno>
#include <cctype>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace station::web {
namespace {

bool ParseNumber(const std::string& text, unsigned long long min, unsigned long long max, unsigned long long* out) {
    unsigned long long value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < min || value > max)
        return false;
    *out = value;
    return true;
}

// A dotted quad; *first gets its first byte.
bool IsIpv4(const std::string& text, unsigned* first) {
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (true) {
        const std::size_t dot = text.find('.', at);
        parts.push_back(text.substr(at, dot == std::string::npos ? std::string::npos : dot - at));
        if (dot == std::string::npos)
            break;
        at = dot + 1;
    }
    if (parts.size() != 4)
        return false;
    for (std::size_t k = 0; k < 4; ++k) {
        unsigned long long byte = 0;
        if (parts[k].size() > 3 || !ParseNumber(parts[k], 0, 255, &byte))
            return false;
        if (k == 0)
            *first = static_cast<unsigned>(byte);
    }
    return true;
}

bool IsHostName(const std::string& text) {
    if (text.empty() || text.size() > 253)
        return false;
    for (unsigned char c : text) {
        if (!(std::isalnum(c) || c == '-' || c == '.'))
            return false;
    }
    // Digits and dots alone are a mistyped IPv4 address, never a name (a
    // top-level domain is never numeric).
    if (text.find_first_not_of("0123456789.") == std::string::npos)
        return false;
    return text.front() != '-' && text.front() != '.';
}

}  // namespace

std::string ParseHttpAddress(const std::string& text, HttpAddress* out) {
    const auto bad = [&](const std::string& why) { return "--http: '" + text + "' " + why; };
    HttpAddress a;
    std::string portText = text;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            return bad("is no [IPv6]:PORT");
        }
        a.host = text.substr(1, close - 1);
        portText = text.substr(close + 2);
        if (a.host.empty() || a.host.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos ||
            a.host.find(':') == std::string::npos) {
            return bad("holds no IPv6 address in its brackets");
        }
        a.loopback = a.host == "::1" || a.host == "0:0:0:0:0:0:0:1";
    } else if (const std::size_t colon = text.rfind(':'); colon != std::string::npos) {
        a.host = text.substr(0, colon);
        portText = text.substr(colon + 1);
        if (a.host.find(':') != std::string::npos)
            return bad("has an IPv6 address without brackets: write [ADDR]:PORT");
        unsigned first = 0;
        if (IsIpv4(a.host, &first)) {
            a.loopback = first == 127;
        } else if (IsHostName(a.host)) {
            // A name other than localhost may resolve to any interface.
            a.loopback = a.host == "localhost";
        } else {
            return bad("holds no IPv4 address or host name before the port");
        }
    }
    unsigned long long port = 0;
    if (!ParseNumber(portText, 1, 65535, &port))
        return bad("has no port from 1 to 65535");
    a.port = static_cast<unsigned>(port);
    *out = a;
    return {};
}

std::string LoadToken(const std::string& path, std::string* token) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "--http-token: opening " + path + ": " + std::strerror(errno);
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        return "--http-token: reading " + path + ": " + std::strerror(errno);
    std::string t = text.str();
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r'))
        t.pop_back();
    for (unsigned char c : t) {
        if (c <= 0x20 || c >= 0x7F || c == '"' || c == ',' || c == ';' || c == '\\') {
            return "--http-token: " + path +
                   " holds a character that cannot travel in a header or a cookie (use letters, digits and "
                   "punctuation other than \" , ; \\, on one line)";
        }
    }
    if (t.size() < kMinTokenBytes) {
        return "--http-token: " + path + " holds " + std::to_string(t.size()) + " bytes; a token needs at least " +
               std::to_string(kMinTokenBytes);
    }
    *token = t;
    return {};
}

std::string ParseHistory(const std::string& text, std::size_t* out) {
    unsigned long long n = 0;
    if (!ParseNumber(text, 1, 1000000, &n))
        return "--http-history: '" + text + "' is not a number from 1 to 1000000";
    *out = static_cast<std::size_t>(n);
    return {};
}

std::string CheckHttpSecurity(const HttpAddress& address, const std::string& token) {
    if (address.loopback || !token.empty())
        return {};
    return "--http: serving on " + address.host +
           ", which other machines can reach, needs --http-token FILE (a secret of at least " +
           std::to_string(kMinTokenBytes) + " bytes)";
}

}  // namespace station::web
