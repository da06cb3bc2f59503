// Reads the present serial ports out of sysfs and describes each in the
// Windows form. Plain opendir/readlink/fopen on /sys, so a mocked device
// tree (umockdev) can stand in for real hardware.
//
// A port is an entry of /sys/class/tty with a "device" link behind it; the
// virtual consoles and pseudo terminals have none. On-board 8250 ports
// without a UART (type 0, PORT_UNKNOWN) are registered by the kernel for
// every legacy I/O address whether or not anything is there, so they are
// left out.
//
// Hardware IDs:
// - USB: "USB\VID_xxxx&PID_xxxx&REV_xxxx" then "USB\VID_xxxx&PID_xxxx",
//   upper-case hex; a composite device (device class 00 or EF with more
//   than one interface) appends "&MI_xx" with the tty's interface number to
//   both, as the Windows composite driver names its children.
// - a PNP device (its sysfs node has an "id" attribute): that ID, "PNP0501".
// - anything else: "<BUS>\<driver>", the upper-cased bus and the driver
//   name, "PLATFORM\serial8250".
// Friendly names: the USB product string, else "USB Serial Device" for USB
// and "Communications Port" otherwise, followed by " (" + name + ")".
#include "platform/posix/sysfs_ports.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace posix {
namespace {

const std::string kTtyClass = "/sys/class/tty";
const std::string kDevicesRoot = "/sys/devices";

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};

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

// The first line of a sysfs attribute, without surrounding blanks.
bool ReadAttribute(const std::string& dir, const char* name, std::string* value) {
    std::unique_ptr<FILE, FileCloser> file(fopen((dir + "/" + name).c_str(), "re"));
    if (!file)
        return false;
    char line[512];
    if (fgets(line, sizeof(line), file.get()) == nullptr)
        line[0] = '\0';
    std::string text(line);
    const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    while (!text.empty() && blank(static_cast<unsigned char>(text.back())))
        text.pop_back();
    size_t start = 0;
    while (start < text.size() && blank(static_cast<unsigned char>(text[start])))
        ++start;
    *value = text.substr(start);
    return true;
}

bool ReadHex(const std::string& dir, const char* name, unsigned long* value) {
    std::string text;
    if (!ReadAttribute(dir, name, &text) || text.empty())
        return false;
    char* end = nullptr;
    *value = std::strtoul(text.c_str(), &end, 16);
    return *end == '\0';
}

bool ReadDecimal(const std::string& dir, const char* name, unsigned long* value) {
    std::string text;
    if (!ReadAttribute(dir, name, &text) || text.empty())
        return false;
    char* end = nullptr;
    *value = std::strtoul(text.c_str(), &end, 10);
    return *end == '\0';
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

// Walks up from the port's device node to the USB device (the node with
// idVendor), remembering the interface (bInterfaceNumber) passed on the way.
bool FindUsbParents(const std::string& deviceDir, UsbIdentity* usb) {
    for (std::string dir = deviceDir; dir.size() > kDevicesRoot.size() && dir.compare(0, kDevicesRoot.size(), kDevicesRoot) == 0;
         dir = Parent(dir)) {
        if (access((dir + "/idVendor").c_str(), F_OK) == 0) {
            usb->deviceDir = dir;
            return true;
        }
        if (usb->interfaceDir.empty() && access((dir + "/bInterfaceNumber").c_str(), F_OK) == 0)
            usb->interfaceDir = dir;
    }
    return false;
}

void DescribeUsb(const UsbIdentity& usb, SysfsPort* port) {
    unsigned long vid = 0, pid = 0, rev = 0, deviceClass = 0, interfaces = 1, number = 0;
    ReadHex(usb.deviceDir, "idVendor", &vid);
    ReadHex(usb.deviceDir, "idProduct", &pid);
    ReadHex(usb.deviceDir, "bcdDevice", &rev);
    ReadHex(usb.deviceDir, "bDeviceClass", &deviceClass);
    ReadDecimal(usb.deviceDir, "bNumInterfaces", &interfaces);
    const bool composite = (deviceClass == 0x00 || deviceClass == 0xEF) && interfaces > 1 && !usb.interfaceDir.empty() &&
                           ReadHex(usb.interfaceDir, "bInterfaceNumber", &number);
    const std::wstring identity = L"USB\\VID_" + Hex(vid, 4) + L"&PID_" + Hex(pid, 4);
    const std::wstring mi = composite ? L"&MI_" + Hex(number, 2) : L"";
    port->hardwareIds = {identity + L"&REV_" + Hex(rev, 4) + mi, identity + mi};
    std::string product;
    const bool named = ReadAttribute(usb.deviceDir, "product", &product) && !product.empty();
    port->friendlyName = named ? Widen(product) : L"USB Serial Device";
}

void DescribeOther(const std::string& deviceDir, const std::string& driver, SysfsPort* port) {
    std::string pnpId;
    if (ReadAttribute(deviceDir, "id", &pnpId) && !pnpId.empty()) {
        port->hardwareIds = {Widen(pnpId)};
    } else {
        std::string subsystem;
        std::string bus = Resolve(deviceDir, "subsystem", &subsystem) ? BaseName(subsystem) : "unknown";
        std::transform(bus.begin(), bus.end(), bus.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        port->hardwareIds = {Widen(bus) + L"\\" + Widen(driver.empty() ? "unknown" : driver)};
    }
    port->friendlyName = L"Communications Port";
}

bool DescribePort(const std::string& name, SysfsPort* port) {
    // Most entries are virtual consoles and pseudo terminals; one access()
    // through the links turns them away (and dangling links of a device on
    // its way out) before any path is resolved. The monitor runs this for
    // every entry twenty times a second.
    if (access((kTtyClass + "/" + name + "/device").c_str(), F_OK) != 0)
        return false;
    std::string ttyDir, deviceDir;
    if (!Resolve(kTtyClass, name, &ttyDir) || !Resolve(ttyDir, "device", &deviceDir))
        return false;
    std::string driverLink;
    const std::string driver = ReadLink(deviceDir + "/driver", &driverLink) ? BaseName(driverLink) : "";
    std::string type;
    if (driver == "serial8250" && ReadAttribute(ttyDir, "type", &type) && type == "0")
        return false;
    port->name = Widen(name);
    UsbIdentity usb;
    if (FindUsbParents(deviceDir, &usb))
        DescribeUsb(usb, port);
    else
        DescribeOther(deviceDir, driver, port);
    port->friendlyName += L" (" + port->name + L")";
    return true;
}

}  // namespace

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

std::vector<SysfsPort> ListSysfsPorts() {
    std::vector<std::string> names;
    {
        std::unique_ptr<DIR, DirCloser> dir(opendir(kTtyClass.c_str()));
        if (!dir)
            return {};
        while (const dirent* entry = readdir(dir.get())) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end(), PortNameLess);
    std::vector<SysfsPort> ports;
    for (const auto& name : names) {
        SysfsPort port;
        if (DescribePort(name, &port))
            ports.push_back(std::move(port));
    }
    return ports;
}

}  // namespace posix
