// Reads the present serial ports out of sysfs and describes each in the
// Windows form. Plain opendir/readlink/open on /sys (and the *at calls
// relative to a directory opened that way), so a mocked device tree
// (umockdev) can stand in for real hardware.
//
// A port is an entry of /sys/class/tty with a "device" link behind it; the
// virtual consoles and pseudo terminals have none. 8250 ports without a
// UART (type 0, PORT_UNKNOWN) are left out: the kernel registers one for
// every legacy I/O address whether or not anything is there, and keeps PNP
// and PCI entries whose chip did not answer.
//
// Hardware IDs, as the driver Windows installs for the hardware reports
// them for its port:
// - USB: "USB\VID_xxxx&PID_xxxx&REV_xxxx" then "USB\VID_xxxx&PID_xxxx",
//   upper-case hex. A composite device appends "&MI_xx" to both: Windows
//   splits a device into functions when its class is 00, or EF/02/01 (it
//   carries interface association descriptors), it has more than one
//   interface and a single configuration; a function is named for its first
//   interface. A CDC device (class 02) is one function and has no MI_.
// - an FTDI adapter: "FTDIBUS\COMPORT&VID_xxxx&PID_xxxx" only. FTDI's driver
//   puts the port on a bus of its own, under the USB function, whatever the
//   chip's interface.
// - a PNP device (its sysfs node has an "id" attribute): "ACPI\VEN_PNP&DEV_0501",
//   "ACPI\PNP0501", "*PNP0501".
// - anything else: "<BUS>\<driver>", the upper-cased bus and the driver
//   name, "PLATFORM\serial8250".
// Instance IDs: "<device ID>\<USB serial number>" for a USB device, the
// serial number read whole from its "serial" attribute (it is the device's
// own text, so nothing in it is trimmed but the kernel's closing newline);
// without one, and for interfaces and other ports, "&" and the sysfs name.
// Friendly names: the name the Windows driver for that hardware gives its
// ports ("USB Serial Device" for a CDC port, "USB Serial Port" for FTDI,
// "Communications Port" on board), followed by " (" + name + ")". The
// device's own product string is never part of it: Windows does not use it
// either, and a device may put anything there; a ")" in it would come
// before the port name, which then could not be found.
// Locations: where Windows shows a USB device's port and hub
// ("Port_#0003.Hub_#0002"), the kernel's name for the device says the same
// (bus 1, port 1 of the root hub, then port 4 of the hub there: "1-1.4"),
// and it is what an operator sees in lsusb -t and in udev's paths.
//
// Since Linux 6.5 the serial core puts a controller and a port device (bus
// serial-base, drivers "ctrl" and "port") between a UART and its tty:
// .../pnp0/00:05/00:05:0/00:05:0.0/tty/ttyS0. They say nothing about the
// hardware; the UART is described by the first device above them.
//
// A scan also notes what it decided on that can change under an unchanged
// class entry (see port_cache.cpp for why the rest cannot): whether a
// "device" link exists for entries that are not virtual consoles, and the
// "type" of 8250 ports, which setserial rewrites in place.
#include "platform/posix/setupapi/sysfs_ports.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string_view>

#include "platform/posix/kernel32/unique_fd.h"

namespace posix {
namespace {

const std::string kTtyClass = "/sys/class/tty";
const std::string kDevicesRoot = "/sys/devices";
const char kDevDir[] = "/dev";

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

// Absence is an answer; anything else means the tree could not be read.
bool IsAbsence(int error) { return error == ENOENT || error == ENOTDIR; }

std::atomic<SysfsFaultHook> g_faultHook{nullptr};

// True, with errno set, when a test's hook fails this read.
bool Faulted(const std::string& path) {
    const SysfsFaultHook hook = g_faultHook.load(std::memory_order_acquire);
    if (hook == nullptr)
        return false;
    const int error = hook(path.c_str());
    if (error == 0)
        return false;
    errno = error;
    return true;
}

// Removes "." and ".." components of an absolute path.
std::string Normalise(const std::string& path) {
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t next = path.find('/', pos);
        if (next == std::string::npos)
            next = path.size();
        std::string part = path.substr(pos, next - pos);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(std::move(part));
        }
        pos = next + 1;
    }
    std::string out;
    for (const auto& part : parts)
        out += "/" + part;
    return out.empty() ? "/" : out;
}

std::string Parent(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool ReadLink(const std::string& path, std::string* target) {
    char buffer[4096];
    if (Faulted(path))
        return false;
    const ssize_t n = readlink(path.c_str(), buffer, sizeof(buffer) - 1);
    if (n < 0)
        return false;
    target->assign(buffer, static_cast<size_t>(n));
    return true;
}

// dir/name with a symbolic link followed once. sysfs links are relative and
// every directory above them is real, so one step resolves them fully
// without realpath, which the mocked tree does not always answer.
bool Resolve(const std::string& dir, const std::string& name, std::string* out) {
    const std::string path = dir + "/" + name;
    std::string target;
    if (ReadLink(path, &target)) {
        *out = Normalise(target[0] == '/' ? target : dir + "/" + target);
        return true;
    }
    if (errno != EINVAL)  // EINVAL: a plain file or directory, not a link
        return false;
    *out = path;
    return true;
}

// Up to `size` bytes of a sysfs attribute into buffer. One open, read and
// close: sysfs hands the whole value to the first read.
bool ReadAttributeBytes(const std::string& path, char* buffer, size_t size, size_t* length) {
    if (Faulted(path))
        return false;
    const platform::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0)
        return false;
    ssize_t n;
    do {
        n = read(fd.Get(), buffer, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return false;
    *length = static_cast<size_t>(n);
    return true;
}

// The first line of a sysfs attribute, without surrounding blanks.
bool ReadAttribute(const std::string& path, std::string* value) {
    char buffer[512];
    size_t length = 0;
    if (!ReadAttributeBytes(path, buffer, sizeof(buffer) - 1, &length))
        return false;
    for (size_t i = 0; i < length; ++i) {
        if (buffer[i] == '\n' || buffer[i] == '\0') {
            length = i;
            break;
        }
    }
    const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    size_t start = 0;
    while (length > start && blank(buffer[length - 1]))
        --length;
    while (start < length && blank(buffer[start]))
        ++start;
    value->assign(buffer + start, length - start);
    return true;
}

// A whole attribute as the device gave it, without the newline sysfs adds.
bool ReadRawAttribute(const std::string& path, std::string* value) {
    char buffer[512];
    size_t length = 0;
    if (!ReadAttributeBytes(path, buffer, sizeof(buffer), &length))
        return false;
    if (length > 0 && buffer[length - 1] == '\n')
        --length;
    value->assign(buffer, length);
    return true;
}

std::wstring Widen(const std::string& text) {
    // sysfs strings (USB product strings) are UTF-8 whatever the process
    // locale; a byte that does not start a valid sequence is kept as its own
    // code point rather than dropped.
    std::wstring out;
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = byte(i);
        size_t extra = lead >= 0xF0 && lead < 0xF8 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 && lead < 0xE0 ? 1 : 0;
        if (lead >= 0xF8)
            extra = 0;
        unsigned long code = extra == 0 ? lead : lead & (0x3F >> extra);
        bool valid = lead < 0x80 || extra > 0;
        if (extra > 0 && i + extra < text.size()) {
            for (size_t k = 1; k <= extra; ++k) {
                if ((byte(i + k) & 0xC0) != 0x80) {
                    valid = false;
                    break;
                }
                code = (code << 6) | (byte(i + k) & 0x3F);
            }
        } else if (extra > 0) {
            valid = false;  // cut short by the end of the text
        }
        if (valid) {
            out.push_back(static_cast<wchar_t>(code));
            i += extra + 1;
        } else {
            out.push_back(static_cast<wchar_t>(lead));
            ++i;
        }
    }
    return out;
}

std::wstring Hex(unsigned long value, int digits) {
    wchar_t text[16];
    std::swprintf(text, 16, L"%0*lX", digits, value);
    return text;
}

struct UsbIdentity {
    std::string interfaceDir;  // empty when the tty hangs off the device itself
    std::string deviceDir;
};

// One scan's reads: each failure that is not plain absence marks the scan
// incomplete, so that its result is used once and never kept.
class PortReader {
public:
    explicit PortReader(SysfsPortScan* scan) : scan_(scan) {}

    // The errno of the failed read is the scan's cause when it is the first.
    void Unreadable() {
        if (scan_->complete)
            scan_->error = errno;
        scan_->complete = false;
    }

    bool Attribute(const std::string& dir, const char* name, std::string* value) {
        if (ReadAttribute(dir + "/" + name, value))
            return true;
        NoteFailure();
        return false;
    }

    bool Hex(const std::string& dir, const char* name, unsigned long* value) { return Number(dir, name, 16, value); }
    bool Decimal(const std::string& dir, const char* name, unsigned long* value) {
        return Number(dir, name, 10, value);
    }

    bool Exists(const std::string& path) {
        if (!Faulted(path) && access(path.c_str(), F_OK) == 0)
            return true;
        NoteFailure();
        return false;
    }

    bool Link(const std::string& path, std::string* target) {
        if (ReadLink(path, target))
            return true;
        NoteFailure();
        return false;
    }

    bool Follow(const std::string& dir, const std::string& name, std::string* out) {
        if (Resolve(dir, name, out))
            return true;
        NoteFailure();
        return false;
    }

    // A whole attribute as the device gave it (see ReadRawAttribute).
    bool RawAttribute(const std::string& dir, const char* name, std::string* value) {
        if (ReadRawAttribute(dir + "/" + name, value))
            return true;
        NoteFailure();
        return false;
    }

    void Watch(SysfsRecheck recheck) { scan_->rechecks.push_back(std::move(recheck)); }

private:
    void NoteFailure() {
        if (!IsAbsence(errno))
            Unreadable();
    }

    bool Number(const std::string& dir, const char* name, int base, unsigned long* value) {
        std::string text;
        if (!Attribute(dir, name, &text) || text.empty())
            return false;
        char* end = nullptr;
        *value = std::strtoul(text.c_str(), &end, base);
        return *end == '\0';
    }

    SysfsPortScan* scan_;
};

// Walks up from the port's device node to the USB device (the node with
// idVendor), remembering the interface (bInterfaceNumber) passed on the way.
bool FindUsbParents(PortReader& reader, const std::string& deviceDir, UsbIdentity* usb) {
    for (std::string dir = deviceDir;
         dir.size() > kDevicesRoot.size() && dir.compare(0, kDevicesRoot.size(), kDevicesRoot) == 0;
         dir = Parent(dir)) {
        if (reader.Exists(dir + "/idVendor")) {
            usb->deviceDir = dir;
            return true;
        }
        if (usb->interfaceDir.empty() && reader.Exists(dir + "/bInterfaceNumber"))
            usb->interfaceDir = dir;
    }
    return false;
}

// What the Windows driver for the hardware behind each Linux driver calls a
// port. Linux driver names are those of the USB interface: ch341, not the
// port's ch341-uart.
struct PortDescription {
    const char* driver;
    const wchar_t* text;
};
constexpr PortDescription kUsbPortDescriptions[] = {
    {"cdc_acm", L"USB Serial Device"},  // usbser.sys, Windows 10 and later
    {"ftdi_sio", L"USB Serial Port"},  {"cp210x", L"Silicon Labs CP210x USB to UART Bridge"},
    {"ch341", L"USB-SERIAL CH340"},    {"pl2303", L"Prolific USB-to-Serial Comm Port"},
};
// A USB port of any other driver, or of an interface without one.
constexpr wchar_t kUsbPortDescription[] = L"USB Serial Device";
constexpr wchar_t kBoardPortDescription[] = L"Communications Port";

const wchar_t* UsbPortDescription(const std::string& driver) {
    for (const auto& entry : kUsbPortDescriptions)
        if (driver == entry.driver)
            return entry.text;
    return kUsbPortDescription;
}

std::string DriverOf(PortReader& reader, const std::string& dir) {
    std::string link;
    return reader.Link(dir + "/driver", &link) ? BaseName(link) : "";
}

void DescribeUsb(PortReader& reader, const UsbIdentity& usb, SysfsPort* port) {
    unsigned long vid = 0, pid = 0, rev = 0, deviceClass = 0, subClass = 0, protocol = 0;
    unsigned long interfaces = 1, configurations = 1, number = 0;
    reader.Hex(usb.deviceDir, "idVendor", &vid);
    reader.Hex(usb.deviceDir, "idProduct", &pid);
    reader.Hex(usb.deviceDir, "bcdDevice", &rev);
    reader.Hex(usb.deviceDir, "bDeviceClass", &deviceClass);
    reader.Hex(usb.deviceDir, "bDeviceSubClass", &subClass);
    reader.Hex(usb.deviceDir, "bDeviceProtocol", &protocol);
    reader.Decimal(usb.deviceDir, "bNumInterfaces", &interfaces);
    reader.Decimal(usb.deviceDir, "bNumConfigurations", &configurations);
    const bool associations = deviceClass == 0xEF && subClass == 0x02 && protocol == 0x01;
    // The function's first interface: the one the association names when
    // there is one (the kernel shows it on each of its interfaces), else
    // the tty's own.
    const bool composite = (deviceClass == 0x00 || associations) && interfaces > 1 && configurations == 1 &&
                           !usb.interfaceDir.empty() &&
                           (reader.Hex(usb.interfaceDir, "iad_bFirstInterface", &number) ||
                            reader.Hex(usb.interfaceDir, "bInterfaceNumber", &number));
    const std::string driver = usb.interfaceDir.empty() ? "" : DriverOf(reader, usb.interfaceDir);
    const std::wstring identity = L"VID_" + Hex(vid, 4) + L"&PID_" + Hex(pid, 4);
    if (driver == "ftdi_sio") {
        port->hardwareIds = {L"FTDIBUS\\COMPORT&" + identity};
    } else {
        const std::wstring mi = composite ? L"&MI_" + Hex(number, 2) : L"";
        port->hardwareIds = {L"USB\\" + identity + L"&REV_" + Hex(rev, 4) + mi, L"USB\\" + identity + mi};
    }
    port->friendlyName = UsbPortDescription(driver);
    port->location = Widen(BaseName(usb.deviceDir));
    if (driver == "ftdi_sio")
        return;  // its port hangs off FTDI's own bus: the instance ID is made up below
    std::string serial;
    const bool hasSerial = reader.RawAttribute(usb.deviceDir, "serial", &serial) && !serial.empty();
    const std::wstring device =
        L"USB\\" + identity + L"\\" + (hasSerial ? Widen(serial) : L"&" + Widen(BaseName(usb.deviceDir)));
    if (composite) {
        port->instanceId = L"USB\\" + identity + L"&MI_" + Hex(number, 2) + L"\\&" + Widen(BaseName(usb.interfaceDir));
        port->parentInstanceId = device;
        port->parentLocation = port->location;
        port->location = Widen(BaseName(usb.interfaceDir));
    } else {
        port->instanceId = device;
    }
}

// An ID of the PNP form: three letters, four hexadecimal digits.
bool IsPnpId(const std::string& id) {
    if (id.size() != 7)
        return false;
    const auto letter = [](unsigned char c) { return std::isalpha(c) != 0; };
    const auto hex = [](unsigned char c) { return std::isxdigit(c) != 0; };
    return std::all_of(id.begin(), id.begin() + 3, letter) && std::all_of(id.begin() + 3, id.end(), hex);
}

void DescribeOther(PortReader& reader, const std::string& deviceDir, const std::string& driver, SysfsPort* port) {
    std::string pnpId;
    if (reader.Attribute(deviceDir, "id", &pnpId) && !pnpId.empty()) {
        // The firmware's ID, in the three forms Windows lists for a device
        // the ACPI tables name, and in upper case as Windows spells them
        // (Linux keeps the firmware's spelling, WACf004).
        std::string upper = pnpId;
        std::transform(upper.begin(), upper.end(), upper.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        const std::wstring id = Widen(upper);
        if (IsPnpId(upper))
            port->hardwareIds = {L"ACPI\\VEN_" + id.substr(0, 3) + L"&DEV_" + id.substr(3), L"ACPI\\" + id, L"*" + id};
        else
            port->hardwareIds = {id};
    } else {
        std::string subsystem;
        std::string bus = reader.Follow(deviceDir, "subsystem", &subsystem) ? BaseName(subsystem) : "unknown";
        std::transform(bus.begin(), bus.end(), bus.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        port->hardwareIds = {Widen(bus) + L"\\" + Widen(driver.empty() ? "unknown" : driver)};
    }
    port->friendlyName = kBoardPortDescription;
}

// The device that stands for the port's hardware: the tty's parent, or on
// Linux 6.5 and later the first device above the serial core's controller
// and port devices.
std::string HardwareDir(PortReader& reader, std::string dir) {
    for (int level = 0; level < 2; ++level) {
        std::string subsystem;
        if (!reader.Follow(dir, "subsystem", &subsystem) || BaseName(subsystem) != "serial-base")
            break;
        dir = Parent(dir);
    }
    return dir;
}

// The virtual consoles (tty, tty0..tty63), the console and ptmx are made by
// the tty core without a parent and never moved under one, so their lack of
// a "device" link is permanent. Other parentless ttys can gain one while
// their class entry stays: rfcomm moves its tty under the Bluetooth link
// once connected.
bool IsPermanentlyVirtual(const std::string& name, const char* target, size_t targetLength) {
    const std::string_view link(target, targetLength);
    const std::string expected = "../../devices/virtual/tty/" + name;
    if (link != expected)
        return false;
    if (name == "console" || name == "ptmx")
        return true;
    if (name.compare(0, 3, "tty") != 0)
        return false;
    return std::all_of(name.begin() + 3, name.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

// Whether <class>/<name>/device exists; false with errno set otherwise.
bool DeviceLinkExists(int classFd, const std::string& deviceLink) {
    if (Faulted(kTtyClass + "/" + deviceLink))
        return false;
    return faccessat(classFd, deviceLink.c_str(), F_OK, 0) == 0;
}

// An entry without a "device" link that is not a virtual console: nothing
// to describe, but a later scan must see that it still has none.
void NoteDeviceless(PortReader& reader, const std::string& name) {
    SysfsRecheck recheck;
    recheck.kind = SysfsRecheck::Kind::kExists;
    recheck.path = kTtyClass + "/" + name + "/device";
    recheck.present = false;
    reader.Watch(std::move(recheck));
}

bool DescribePort(PortReader& reader, int classFd, const std::string& name, SysfsPort* port) {
    // Most entries are virtual consoles; reading their class link, relative
    // to the open class directory, turns them away for half the cost of
    // looking for a "device" link, which the kernel gives only devices with
    // a parent and so never one under devices/virtual.
    char target[256];
    const ssize_t n = Faulted(kTtyClass + "/" + name) ? -1 : readlinkat(classFd, name.c_str(), target, sizeof(target));
    if (n < 0 && !IsAbsence(errno) && errno != EINVAL) {  // EINVAL: a directory in a mocked tree
        reader.Unreadable();
        return false;
    }
    if (n > 0 && IsPermanentlyVirtual(name, target, static_cast<size_t>(n)))
        return false;
    // The other entries without a link (pseudo-terminal masters, dangling
    // links of a device on its way out) are turned away before any path is
    // resolved.
    const std::string deviceLink = name + "/device";
    if (!DeviceLinkExists(classFd, deviceLink)) {
        if (IsAbsence(errno))
            NoteDeviceless(reader, name);
        else
            reader.Unreadable();
        return false;
    }
    std::string ttyDir, deviceDir;
    if (!reader.Follow(kTtyClass, name, &ttyDir) || !reader.Follow(ttyDir, "device", &deviceDir)) {
        reader.Unreadable();  // it had a device link a moment ago
        return false;
    }
    const std::string hardwareDir = HardwareDir(reader, deviceDir);
    const std::string driver = DriverOf(reader, hardwareDir);
    // An 8250 port whose UART was not found (type 0, PORT_UNKNOWN): the
    // legacy ports the kernel registers for every standard address, and PNP
    // or PCI entries whose chip did not answer ("serial" is the name of both
    // those drivers). Windows lists no COM port for either.
    if (driver == "serial8250" || driver == "serial") {
        SysfsRecheck recheck;
        recheck.kind = SysfsRecheck::Kind::kText;
        recheck.path = kTtyClass + "/" + name + "/type";
        recheck.present = reader.Attribute(ttyDir, "type", &recheck.text);
        const bool empty = recheck.present && recheck.text == "0";
        reader.Watch(std::move(recheck));
        if (empty)
            return false;
    }
    port->name = Widen(name);
    UsbIdentity usb;
    if (FindUsbParents(reader, deviceDir, &usb))
        DescribeUsb(reader, usb, port);
    else
        DescribeOther(reader, hardwareDir, driver, port);
    if (port->instanceId.empty())
        port->instanceId = port->hardwareIds.front() + L"\\&" + port->name;
    port->friendlyName += L" (" + port->name + L")";
    // A device unplugged while it was read answers its later reads as
    // absent, which describes a port that is not there (no IDs, no serial
    // number). Gone now: the listing is right to leave it out.
    if (!DeviceLinkExists(classFd, deviceLink)) {
        if (!IsAbsence(errno))
            reader.Unreadable();
        return false;
    }
    return true;
}

bool SameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

bool IsDotEntry(const char* name) { return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')); }

}  // namespace

void SetSysfsFaultHookForTest(SysfsFaultHook hook) { g_faultHook.store(hook, std::memory_order_release); }

bool PortNameLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
        const bool db = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
        if (da && db) {
            size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei])))
                ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej])))
                ++ej;
            // Compare by value without overflow: skip leading zeros, then
            // the longer run is larger, then digit by digit.
            size_t si = i, sj = j;
            while (si + 1 < ei && a[si] == '0')
                ++si;
            while (sj + 1 < ej && b[sj] == '0')
                ++sj;
            if (ei - si != ej - sj)
                return ei - si < ej - sj;
            const int order = a.compare(si, ei - si, b, sj, ej - sj);
            if (order != 0)
                return order < 0;
            if (ei - i != ej - j)
                return ei - i < ej - j;  // fewer leading zeros first, for a total order
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j])
                return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

SysfsPortScan ScanSysfsPorts() {
    SysfsPortScan scan;
    Dir dir(Faulted(kTtyClass) ? nullptr : opendir(kTtyClass.c_str()));
    if (!dir) {
        scan.complete = false;
        scan.listed = false;
        scan.error = errno;
        return scan;
    }
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = readdir(dir.get())) {
        if (!IsDotEntry(entry->d_name))
            names.emplace_back(entry->d_name);
    }
    if (errno != 0) {
        scan.complete = false;  // the listing stopped short
        scan.error = errno;
    }
    std::sort(names.begin(), names.end(), PortNameLess);
    PortReader reader(&scan);
    const int classFd = dirfd(dir.get());
    for (const auto& name : names) {
        SysfsPort port;
        if (DescribePort(reader, classFd, name, &port))
            scan.ports.push_back(std::move(port));
    }
    return scan;
}

std::vector<SysfsPort> ListSysfsPorts() { return ScanSysfsPorts().ports; }

bool ReadTtyClassState(TtyClassState* state) {
    state->listing.clear();
    struct stat dev {};
    if (stat(kDevDir, &dev) == 0) {
        state->devError = 0;
        state->devDevice = dev.st_dev;
        state->devInode = dev.st_ino;
        state->devModified = dev.st_mtim;
    } else {
        // A tree without /dev (a mocked one) is a state like any other.
        state->devError = errno;
        state->devDevice = 0;
        state->devInode = 0;
        state->devModified = {};
    }
    // open and getdents64 rather than opendir: no DIR to allocate and no
    // second fstat, for a check that runs forty times a second.
    const int fd = Faulted(kTtyClass) ? -1 : open(kTtyClass.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const platform::UniqueFd owned(fd);
    struct stat self {};
    if (fstat(fd, &self) != 0)
        return false;
    state->classDevice = self.st_dev;
    state->classInode = self.st_ino;
    state->classModified = self.st_mtim;
    alignas(dirent64) char buffer[8192];
    for (;;) {
        // The kernel leaves the padding after each name unwritten; cleared,
        // equal listings are equal bytes.
        std::memset(buffer, 0, sizeof(buffer));
        const ssize_t n = getdents64(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        // Kept as returned: comparing the bytes compares every name and
        // inode number without taking the entries apart.
        state->listing.append(buffer, static_cast<size_t>(n));
    }
}

bool operator==(const TtyClassState& a, const TtyClassState& b) {
    return a.classDevice == b.classDevice && a.classInode == b.classInode &&
           SameTime(a.classModified, b.classModified) && a.devError == b.devError && a.devDevice == b.devDevice &&
           a.devInode == b.devInode && SameTime(a.devModified, b.devModified) && a.listing == b.listing;
}

bool RecheckHolds(const SysfsRecheck& recheck) {
    if (recheck.kind == SysfsRecheck::Kind::kExists) {
        if (!Faulted(recheck.path) && access(recheck.path.c_str(), F_OK) == 0)
            return recheck.present;
        // An unreadable answer is no answer: the scan is repeated.
        return IsAbsence(errno) && !recheck.present;
    }
    std::string text;
    if (!ReadAttribute(recheck.path, &text))
        return IsAbsence(errno) && !recheck.present;
    return recheck.present && text == recheck.text;
}

}  // namespace posix
