// What the station keeps of one finished run: the facts the log line, the
// screen's end line and the summary are made of. Plain data; the device
// strings in it are the device's own, unescaped.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace station {

struct RunRecord {
    std::chrono::system_clock::time_point start;
    std::chrono::system_clock::time_point end;
    std::string port;        // as the child was given it: "ttyACM0", "/dev/pts/7", "COM7"
    std::string location;    // the USB location: "1-1.4.2", "Port_#0003.Hub_#0002"; empty for a listed port
    std::string slot;        // the slot map's label; empty without a map
    std::string hardwareId;  // UTF-8; empty for a listed port
    std::string serial;      // UTF-8, untrusted; empty when none
    std::uint64_t scriptSize = 0;
    std::string scriptSha256;
    std::string baud;
    std::string result;  // the child's word, or the station's: "died", "hang", "no-result", "bad-exit",
                         // "start-failed", "killed", "unkillable", "interrupted"
    int exitCode = -1;   // the child's exit code, 128 + signal when a signal ended it, -1 when it never ran
    std::uint64_t payloadBytes = 0;
    bool success = false;          // result "success" and exit code 0
    unsigned attempt = 1;          // 1, then 2... for the retries of the same unit
    bool duplicateSerial = false;  // another unit present at the same time had the same serial number
    std::string cause;             // the child's last stderr line ("open /dev/ttyACM0: permission denied")
};

}  // namespace station
