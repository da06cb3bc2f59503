// The present ports as the device-setup calls hand them out: the last sysfs
// listing, reused while the tty class shows no change, else a fresh one.
//
// Kept apart from sysfs_ports.cpp, which reads the tree, because this file
// holds the one decision that must never be wrong: when a listing may be
// reused. The presence monitor asks twice every 50 ms and a full listing
// walks every tty entry; the check costs a directory read and two stats.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/posix/setupapi/sysfs_ports.h"

namespace posix {

// The present ports, shared and never changed after they are handed out,
// and whether the listing behind them read everything it needed.
struct PresentPorts {
    std::shared_ptr<const std::vector<SysfsPort>> ports;
    bool complete = true;  // false: a port may be missing (a read failed)
    bool listed = true;    // false: /sys/class/tty could not be opened at all
    int error = 0;         // errno of the first failed read; 0 when complete
};

// The present ports. Safe to call from any thread.
PresentPorts PresentSysfsPorts();

// How many full listings PresentSysfsPorts has made so far; tests use it to
// see that an unchanged tree is not walked again.
std::uint64_t SysfsFullScanCount();

}  // namespace posix
