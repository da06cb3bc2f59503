// The serial ports present on this machine, read from the kernel's device
// tree (/sys/class/tty) and described the way Windows describes ports in its
// ports setup class: a hardware-ID multi-string and a friendly name.
//
// Kept apart from setupapi.cpp because it is the one place that knows the
// layout of sysfs; setupapi.cpp only hands these descriptions out through
// the device-setup calls.
#pragma once

#include <string>
#include <vector>

namespace posix {

struct SysfsPort {
    std::wstring name;                      // ttyACM0, ttyUSB0, ttyS0
    std::vector<std::wstring> hardwareIds;  // most specific first; never empty
    std::wstring friendlyName;              // "... (ttyACM0)"
};

// The present ports, sorted by name in natural order (ttyACM2 before
// ttyACM10). Unreadable entries are left out; an unreadable /sys/class/tty
// gives an empty list and errno set by the failing call.
std::vector<SysfsPort> ListSysfsPorts();

// Natural order of port names: digit runs compare by value.
bool PortNameLess(const std::string& a, const std::string& b);

}  // namespace posix
