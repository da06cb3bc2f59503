// The upgrade script file as our test tools see it: a 32-byte header carried
// as opaque bytes, then records of a command byte, a big-endian 16-bit length
// and that many payload bytes, back to back until the file ends.
//
// This is the tools' own reading of the format, plain C++ with no tie to the
// upgrader's engine: the simulator plays a script with it and the script tool
// lists, validates and builds scripts with it. Iteration never reads past the
// end of the data; a damaged file is reported with the offset where the
// damage starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tools {

inline constexpr std::size_t kHeaderSize = 32;
// Command byte plus the two length bytes.
inline constexpr std::size_t kRecordHeadSize = 3;
inline constexpr std::size_t kMaxPayload = 0xFFFF;

inline constexpr std::uint8_t CMD_WAIT = 0x01;
inline constexpr std::uint8_t CMD_DELAY = 0x02;
inline constexpr std::uint8_t CMD_OPEN_PORT = 0x03;
inline constexpr std::uint8_t CMD_CLOSE_PORT = 0x04;
inline constexpr std::uint8_t CMD_SEND_F1 = 0x11;
inline constexpr std::uint8_t CMD_SEND_F2 = 0x12;

// "CMD_WAIT" and so on, or nullptr for a byte the terminal does not know.
const char* CommandName(std::uint8_t command);
// The name, or "0x05" style hex for an unknown byte.
std::string CommandLabel(std::uint8_t command);
bool IsKnownCommand(std::uint8_t command);

struct Record {
    std::size_t index = 0;   // 0-based position among the records
    std::size_t offset = 0;  // file offset of the command byte
    std::uint8_t command = 0;
    std::span<const std::uint8_t> payload;

    std::size_t size() const { return kRecordHeadSize + payload.size(); }
};

// The delay of a CMD_DELAY record in seconds; empty when the payload holds
// fewer than the two bytes it needs (the upgrader would read the delay from
// whatever follows, which the tools refuse to guess).
std::optional<unsigned> DelaySeconds(const Record& record);

enum class Damage {
    ShortHeader,     // file shorter than the header
    CutHead,         // fewer than 3 bytes left where a record starts
    PastEnd,         // declared length runs past the end of the file
    UnknownCommand,  // a command byte the terminal does not know
    ShortDelay,      // CMD_DELAY with fewer than 2 payload bytes
};

struct Problem {
    Damage kind;
    std::size_t offset;   // file offset where the problem starts
    std::string message;  // "offset 35: record head cut short: ..."
};

// Walks the records of a script held in memory. The data must outlive the
// reader. Structural damage (short header, cut head, past end) ends the walk
// and is kept in problem(); the records before it stay usable.
class ScriptReader {
public:
    explicit ScriptReader(std::span<const std::uint8_t> data);

    // The next record, or empty at the end of the data or at damage.
    std::optional<Record> Next();

    const std::optional<Problem>& problem() const { return problem_; }
    std::span<const std::uint8_t> header() const;

private:
    std::span<const std::uint8_t> data_;
    std::size_t pos_ = kHeaderSize;
    std::size_t index_ = 0;
    std::optional<Problem> problem_;
};

// Records point into the data given to ParseScript, which must outlive them.
struct Script {
    std::vector<Record> records;
    std::vector<Problem> problems;  // structural damage last, if any
    bool sound() const { return problems.empty(); }
};

// Every record plus every problem: unknown commands and short delays are
// noted and the walk goes on; structural damage ends it.
Script ParseScript(std::span<const std::uint8_t> data);

// Appends one record; throws std::length_error for a payload over 65535 bytes.
void AppendRecord(std::vector<std::uint8_t>& out, std::uint8_t command, std::span<const std::uint8_t> payload);

// Whole-file helpers; failures throw std::runtime_error naming the file and
// the system's reason.
std::vector<std::uint8_t> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace tools
