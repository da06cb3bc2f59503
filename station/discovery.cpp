// Terminal discovery over the core's device lookup, or over a fixed list.
#include "station/discovery.h"

#include <optional>

#include "device/lookup.h"
#include "station/host.h"
#include "tools/text/utf8.h"

namespace station {

Scan FindTerminals() {
    Scan scan;
    for (const DevicePortMatch& match : FindDevicePorts(&scan.complete)) {
        // The lookup gives the path that opens the port, "\\.\" + its name;
        // vantrel-cli takes the name, as an operator would type it.
        std::wstring name = match.path;
        if (name.rfind(L"\\\\.\\", 0) == 0)
            name.erase(0, 4);
        scan.terminals.push_back({text::WideToUtf8(name), text::WideToUtf8(match.hardwareId),
                                  text::WideToUtf8(match.serialNumber), text::WideToUtf8(match.location)});
    }
    return scan;
}

Scan PresentListedPorts(const std::vector<std::string>& ports) {
    Scan scan;
    for (const std::string& port : ports) {
        const std::optional<bool> present = ListedPortPresent(port);
        if (!present) {
            scan.complete = false;  // the check itself failed: it tells nothing of an unplug
        } else if (*present) {
            scan.terminals.push_back({port, "", "", ""});
        }
    }
    return scan;
}

}  // namespace station
