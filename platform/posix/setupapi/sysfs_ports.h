// The serial ports present on this machine, read from the kernel's device
// tree (/sys/class/tty) and described the way Windows describes ports in its
// ports setup class: a hardware-ID multi-string and a friendly name.
//
// Kept apart from device_set.cpp because it is the one place that knows the
// layout of sysfs; device_set.cpp only hands these descriptions out through
// the device-setup calls. Besides the full listing it reads the cheap state
// of the tty class (its entries and their inode numbers, the directory times)
// that port_cache.cpp compares to decide whether a listing still holds.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>
#include <vector>

namespace posix {

struct SysfsPort {
    std::wstring name;                      // ttyACM0, ttyUSB0, ttyS0
    std::vector<std::wstring> hardwareIds;  // most specific first; never empty
    std::wstring friendlyName;              // "... (ttyACM0)"
    // The device instance ID in the Windows form: enumerator, device ID and
    // instance, "USB\VID_0483&PID_5740\<serial number>"; a port on an
    // interface of a composite device is "USB\VID_..&PID_..&MI_00\&1-1:1.0"
    // and its parent is the USB device. An instance part that starts with
    // "&" is made up from the sysfs name, as Windows makes one up from the
    // location when a device has no serial number.
    std::wstring instanceId;
    std::wstring parentInstanceId;  // empty when the port's parent is no USB device
    // Where the device the instance ID names sits on the USB tree: its sysfs
    // name ("1-1.4.2", an interface "1-1.4.2:1.0"), the name the system's
    // own tools (lsusb -t, udev's paths) use. For an FTDI port, whose
    // instance is made up, the USB device's. Empty for a port not on USB.
    std::wstring location;
    std::wstring parentLocation;  // the USB device's name when there is a parent
};

// One fact a listing was decided on that can change while the tty's class
// entry stays the same sysfs node, with the answer the listing saw.
struct SysfsRecheck {
    enum class Kind {
        kExists,  // whether the path exists (a "device" link)
        kText,    // the attribute's text (an 8250 port's "type")
    };
    Kind kind = Kind::kExists;
    std::string path;  // absolute, /sys/class/tty/<name>/...
    bool present = false;
    std::string text;  // kText: the attribute's first line, trimmed
};

struct SysfsPortScan {
    std::vector<SysfsPort> ports;
    std::vector<SysfsRecheck> rechecks;
    // False when something was unreadable for a reason other than its
    // absence (out of descriptors, permission): the listing may have left a
    // port out and must not be reused.
    bool complete = true;
    // The errno of the first such failure; 0 while complete.
    int error = 0;
    // False when /sys/class/tty itself could not be opened: no listing at all.
    bool listed = true;
};

// The state of /sys/class/tty and /dev that a change of the present ports
// shows in. Equal states mean the same entries, each still the same node.
struct TtyClassState {
    dev_t classDevice = 0;
    ino_t classInode = 0;
    timespec classModified{};
    int devError = 0;  // errno of the stat of /dev, 0 when it answered
    dev_t devDevice = 0;
    ino_t devInode = 0;
    timespec devModified{};
    // The directory's entries as getdents64 returned them: each entry's
    // name and inode number (and its type and position), in directory order.
    std::string listing;
};

bool operator==(const TtyClassState& a, const TtyClassState& b);

// The present ports, sorted by name in natural order (ttyACM2 before
// ttyACM10), with what a later scan must repeat to reuse them. Unreadable
// entries are left out and make the scan incomplete; an unreadable
// /sys/class/tty gives an empty scan, neither listed nor complete.
SysfsPortScan ScanSysfsPorts();

// The ports of a fresh scan.
std::vector<SysfsPort> ListSysfsPorts();

// Reads the tty class state into *state, reusing its buffers. False, with
// errno set, when /sys/class/tty cannot be listed.
bool ReadTtyClassState(TtyClassState* state);

// Whether the path still gives the answer the scan saw.
bool RecheckHolds(const SysfsRecheck& recheck);

// Natural order of port names: digit runs compare by value.
bool PortNameLess(const std::string& a, const std::string& b);

// Tests only. While set, every path a scan reads (and the tty class state
// read) is first shown to the hook; a nonzero answer fails that read with
// that errno, as the kernel would. Lets a test make an entry unreadable
// while running as root, where permissions do not hold, or make a device
// vanish between the listing of the class and the reads behind an entry.
// Null: no hook. A plain function so that a scan pays one atomic load.
using SysfsFaultHook = int (*)(const char* path);
void SetSysfsFaultHookForTest(SysfsFaultHook hook);

}  // namespace posix
