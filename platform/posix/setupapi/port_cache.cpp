// Reuses the last sysfs port listing while the tty class is unchanged.
//
// Why an equal TtyClassState (plus the scan's rechecks) proves the listing
// still holds, on the kernel's sysfs:
// - A tty class device's entry in /sys/class/tty is a kernfs node created
//   in device_add after the device's "device" link and parent exist, and
//   removed in device_del after that link is gone. So the entry's node
//   lives no longer than the device behind it, and every plug-in or
//   unplug of a port adds or removes an entry.
// - kernfs reports each entry's node ID as its inode number (d_ino). IDs
//   are allocated cyclically with a generation in the upper 32 bits, so a
//   port unplugged and another plugged in under the same name between two
//   checks (ttyACM0 gone, ttyACM0 back) gives a different inode number. A
//   listing of equal names and inode numbers is the same set of devices.
// - What the description reads behind an entry is fixed for the device's
//   life: the USB IDs, product string and interface number (a new USB
//   configuration re-creates the interfaces and their ttys), the PNP ID,
//   the bus, the parent's driver (unbinding it unregisters the tty). The
//   two facts that can change under a living entry are rechecked every
//   time: an 8250 port's "type" (setserial rewrites it) and the "device"
//   link of a parentless tty other than a virtual console (rfcomm moves
//   its tty under the Bluetooth connection).
// - The state is read before the listing it guards, so a change that races
//   with a listing shows at the next check and is listed then.
// /dev's times and /sys/class/tty's own are compared too: devtmpfs changes
// /dev on every node a port adds or removes, and in a mocked tree on an
// ordinary file system the class directory's time changes with its
// entries, covering inode numbers such a file system reuses at once.
// A listing that met an unreadable entry (not just an absent one) is
// handed out once and never reused.
#include "platform/posix/setupapi/port_cache.h"

#include <atomic>
#include <mutex>

namespace posix {
namespace {

struct Cache {
    std::mutex lock;
    bool valid = false;
    TtyClassState state;
    std::vector<SysfsRecheck> rechecks;
    std::shared_ptr<const std::vector<SysfsPort>> ports;
    // Read into on each call, swapped with state when a fresh listing is kept,
    // so the class state's buffers are reused rather than reallocated.
    TtyClassState scratch;
};

Cache& TheCache() {
    static Cache cache;
    return cache;
}

std::atomic<std::uint64_t> g_fullScans{0};

bool StillHolds(const Cache& cache) {
    if (!cache.valid || !(cache.scratch == cache.state))
        return false;
    for (const auto& recheck : cache.rechecks) {
        if (!RecheckHolds(recheck))
            return false;
    }
    return true;
}

}  // namespace

PresentPorts PresentSysfsPorts() {
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> guard(cache.lock);
    const bool stateRead = ReadTtyClassState(&cache.scratch);
    if (stateRead && StillHolds(cache))
        return {cache.ports, true, true, 0};
    SysfsPortScan scan = ScanSysfsPorts();
    g_fullScans.fetch_add(1);
    auto ports = std::make_shared<const std::vector<SysfsPort>>(std::move(scan.ports));
    // Only a complete listing is kept: one that missed a port would be
    // handed out again, as the truth, for as long as the tree stays still.
    cache.valid = stateRead && scan.complete;
    if (cache.valid) {
        std::swap(cache.state, cache.scratch);
        cache.rechecks = std::move(scan.rechecks);
        cache.ports = ports;
    } else {
        cache.rechecks.clear();
        cache.ports.reset();
    }
    return {ports, scan.complete, scan.listed, scan.error};
}

std::uint64_t SysfsFullScanCount() { return g_fullScans.load(); }

}  // namespace posix
