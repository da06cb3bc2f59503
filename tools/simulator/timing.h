// Per-record timestamps of the terminal's side of the exchange, for measuring
// how quickly the upgrader turns a reply into its next payload.
//
// `vantrel-sim --timing FILE` writes one line per payload record:
//
//   INDEX COMMAND PAYLOAD_FIRST_NS REPLY_LAST_NS
//
// COMMAND in hex (0x11), times in nanoseconds of CLOCK_MONOTONIC (the
// steady clock), "-" where the event did not happen (no payload bytes came,
// no reply went). PAYLOAD_FIRST_NS is taken right after the read that
// brought the payload's first byte; REPLY_LAST_NS right after the write that
// put the reply's last byte into the pty. A turnaround is the next record's
// PAYLOAD_FIRST_NS minus this record's REPLY_LAST_NS: the upgrader's reaction
// time plus the pty's latency in both directions.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace tools::sim {

struct RecordTiming {
    std::size_t index = 0;
    std::uint8_t command = 0;
    std::optional<std::int64_t> payload_first_ns;
    std::optional<std::int64_t> reply_last_ns;
};

class TimingLog {
public:
    // Now, in the log's time base.
    static std::int64_t NowNs();

    void PayloadFirstByte(std::size_t index, std::uint8_t command, std::int64_t ns);
    void ReplyLastByte(std::size_t index, std::uint8_t command, std::int64_t ns);

    const std::vector<RecordTiming>& records() const { return records_; }

    void Write(std::ostream& out) const;
    // Throws std::runtime_error naming the file and the system's reason.
    void WriteFile(const std::string& path) const;

private:
    RecordTiming& At(std::size_t index, std::uint8_t command);
    std::vector<RecordTiming> records_;
};

// Throws std::runtime_error naming the line that cannot be read.
std::vector<RecordTiming> ParseTiming(std::istream& in);
std::vector<RecordTiming> ReadTimingFile(const std::string& path);

// Turnarounds in nanoseconds: for each record with a reply whose successor
// (the next record in the log, index + 1) read payload bytes, the gap from
// the reply's last byte to that payload's first byte. Pairs broken by a
// record without a payload (a delay, a close) are skipped.
std::vector<std::int64_t> Turnarounds(const std::vector<RecordTiming>& records);

}  // namespace tools::sim
