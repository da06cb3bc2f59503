// Which terminals are plugged in now: the known terminals the device lookup
// finds (every match, in enumeration order), or the ports given with
// --ports that exist. The station asks every poll interval; what appears
// and disappears between two answers is the scheduler's business. Not
// here: any memory of earlier answers.
#pragma once

#include <string>
#include <vector>

namespace station {

struct Terminal {
    std::string port;        // the text vantrel-cli's --port takes: "ttyACM0", "COM7", "/dev/pts/7"
    std::string hardwareId;  // UTF-8, the device's; empty for a listed port
    std::string serial;      // UTF-8, the device's own, untrusted; empty when none
    // UTF-8: where the USB device is plugged in, as the system's own tools
    // show it ("1-1.4.2" on Linux, "Port_#0003.Hub_#0002" on Windows): the
    // socket of the fixture, whatever the port is called. Empty for a listed
    // port and for a device that has none.
    std::string location;
};

// One look at what is plugged in. When the look could not read everything
// (an unreadable device entry, no descriptors left) complete is false: a
// terminal missing from it may still be plugged in, and must not be taken
// for unplugged. The terminals it does list are present.
struct Scan {
    std::vector<Terminal> terminals;
    bool complete = true;
};

// The known terminals present now, by the Auto Detect matching rules.
Scan FindTerminals();

// The listed ports whose device exists now, in the order given. Incomplete
// when asking for a port failed for a reason other than its absence.
Scan PresentListedPorts(const std::vector<std::string>& ports);

}  // namespace station
