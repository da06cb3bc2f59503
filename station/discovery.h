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
  std::string location;    // UTF-8, the USB device's place: "1-1.4.2", "Port_#0003.Hub_#0002"; empty for a listed port
};

// The known terminals present now, by the Auto Detect matching rules.
std::vector<Terminal> FindTerminals();

// The listed ports whose device exists now, in the order given.
std::vector<Terminal> PresentListedPorts(const std::vector<std::string>& ports);

}  // namespace station
