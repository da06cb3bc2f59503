// The description language of `vantrel-script build`; see description.h.
#include "tools/script/description.h"

#include <charconv>
#include <sstream>
#include <stdexcept>

#include "tools/script_format.h"

namespace tools {

// "VANTREL TEST SCRIPT" and a version byte: easy to spot in a hex dump,
// never examined by anything.
const std::array<std::uint8_t, 32> kDefaultHeader = {'V',  'A',  'N',  'T',  'R',  'E',  'L',  ' ',  'T',  'E',  'S',
                                                     'T',  ' ',  'S',  'C',  'R',  'I',  'P',  'T',  0x00, 0x01, 0x00,
                                                     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

std::vector<std::uint8_t> PayloadBytes(std::size_t count, std::uint32_t seed) {
    // xorshift32; a zero state would stay zero, so it is nudged.
    std::uint32_t state = seed ? seed : 0x9E3779B9u;
    std::vector<std::uint8_t> out(count);
    for (auto& byte : out) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return out;
}

namespace {

[[noreturn]] void Fail(std::size_t line, const std::string& why) {
    throw std::invalid_argument("line " + std::to_string(line) + ": " + why);
}

unsigned long ParseNumber(std::size_t line, const std::string& token, unsigned long max, const char* what) {
    unsigned long value = 0;
    const char* end = token.data() + token.size();
    auto [ptr, ec] = std::from_chars(token.data(), end, value);
    if (token.empty() || ec != std::errc() || ptr != end || value > max) {
        Fail(line, std::string(what) + " '" + token + "' is not a number from 0 to " + std::to_string(max));
    }
    return value;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void AppendHex(std::size_t line, const std::string& token, std::vector<std::uint8_t>& out) {
    std::string digits = token;
    if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.erase(0, 2);
    }
    if (digits.size() % 2 != 0)
        Fail(line, "hex '" + token + "' has an odd number of digits");
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        const int hi = HexDigit(digits[i]);
        const int lo = HexDigit(digits[i + 1]);
        if (hi < 0 || lo < 0)
            Fail(line, "'" + token + "' is not hex");
        out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
}

std::vector<std::uint8_t> HexTokens(std::size_t line, const std::vector<std::string>& tokens, std::size_t first) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = first; i < tokens.size(); ++i)
        AppendHex(line, tokens[i], out);
    return out;
}

std::vector<std::uint8_t> SendPayload(std::size_t line, const std::vector<std::string>& tokens,
                                      std::size_t record_index) {
    if (tokens.size() < 2)
        Fail(line, tokens[0] + " needs a byte count or 'hex BYTES'");
    if (tokens[1] == "hex")
        return HexTokens(line, tokens, 2);
    const auto count = ParseNumber(line, tokens[1], kMaxPayload, "byte count");
    std::uint32_t seed = static_cast<std::uint32_t>(record_index + 1);
    if (tokens.size() == 4 && tokens[2] == "seed") {
        seed = static_cast<std::uint32_t>(ParseNumber(line, tokens[3], 0xFFFFFFFFul, "seed"));
    } else if (tokens.size() != 2) {
        Fail(line, "expected '" + tokens[0] + " N [seed S]' or '" + tokens[0] + " hex BYTES'");
    }
    return PayloadBytes(count, seed);
}

}  // namespace

std::vector<std::uint8_t> BuildScript(const std::string& description) {
    std::vector<std::uint8_t> header(kDefaultHeader.begin(), kDefaultHeader.end());
    bool header_given = false;
    std::vector<std::uint8_t> body;
    std::size_t record_index = 0;

    std::istringstream in(description);
    std::string text;
    std::size_t line = 0;
    while (std::getline(in, text)) {
        ++line;
        if (auto hash = text.find('#'); hash != std::string::npos)
            text.erase(hash);
        std::istringstream words(text);
        std::vector<std::string> tokens;
        for (std::string word; words >> word;)
            tokens.push_back(word);
        if (tokens.empty())
            continue;

        const std::string& verb = tokens[0];
        auto no_arguments = [&](std::uint8_t command) {
            if (tokens.size() != 1)
                Fail(line, verb + " takes no arguments");
            AppendRecord(body, command, {});
            ++record_index;
        };
        try {
            if (verb == "header") {
                if (header_given)
                    Fail(line, "header given twice");
                header = HexTokens(line, tokens, 1);
                header_given = true;
            } else if (verb == "open") {
                no_arguments(CMD_OPEN_PORT);
            } else if (verb == "close") {
                no_arguments(CMD_CLOSE_PORT);
            } else if (verb == "wait") {
                no_arguments(CMD_WAIT);
            } else if (verb == "delay") {
                if (tokens.size() != 2)
                    Fail(line, "expected 'delay SECONDS'");
                const auto seconds = ParseNumber(line, tokens[1], 0xFFFF, "delay");
                const std::uint8_t payload[2] = {static_cast<std::uint8_t>(seconds >> 8),
                                                 static_cast<std::uint8_t>(seconds & 0xFF)};
                AppendRecord(body, CMD_DELAY, payload);
                ++record_index;
            } else if (verb == "send1" || verb == "send2") {
                const auto payload = SendPayload(line, tokens, record_index);
                AppendRecord(body, verb == "send1" ? CMD_SEND_F1 : CMD_SEND_F2, payload);
                ++record_index;
            } else if (verb == "raw") {
                const auto bytes = HexTokens(line, tokens, 1);
                body.insert(body.end(), bytes.begin(), bytes.end());
                // Raw bytes may hold any number of records, or a broken one; the
                // record numbering of later seeds simply moves on by one.
                ++record_index;
            } else {
                Fail(line, "unknown word '" + verb + "'");
            }
        } catch (const std::length_error& e) {
            Fail(line, e.what());
        }
    }
    header.insert(header.end(), body.begin(), body.end());
    return header;
}

}  // namespace tools
