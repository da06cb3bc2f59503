// Terminal discovery over the core's device lookup, or over a fixed list.
#include "station/discovery.h"

#include "device/lookup.h"
#include "station/host.h"
#include "tools/text/utf8.h"

namespace station {

std::vector<Terminal> FindTerminals() {
  std::vector<Terminal> found;
  for (const DevicePortMatch& match : FindDevicePorts()) {
    // The lookup gives the path that opens the port, "\\.\" + its name;
    // vantrel-cli takes the name, as an operator would type it.
    std::wstring name = match.path;
    if (name.rfind(L"\\\\.\\", 0) == 0) name.erase(0, 4);
    found.push_back({text::WideToUtf8(name), text::WideToUtf8(match.hardwareId), text::WideToUtf8(match.serialNumber)});
  }
  return found;
}

std::vector<Terminal> PresentListedPorts(const std::vector<std::string>& ports) {
  std::vector<Terminal> present;
  for (const std::string& port : ports) {
    if (ListedPortPresent(port)) present.push_back({port, "", ""});
  }
  return present;
}

}  // namespace station
