// The port listings of vantrel-cli --list. The plain one stays what it has
// always been (the event outputs escape the device-made names). The verbose
// one answers "why is my terminal not detected?".
#include "cli/list.h"

#include "cli/escape.h"
#include "common/state.h"
#include "device/explain.h"
#include "device/lookup.h"
#include "engine/run.h"
#include "serial/port.h"
#include "tools/text/time.h"

namespace cli {

void ListPorts(CVantrelDlg& dlg, Events& events) {
    for (int i = 0; i < dlg.m_Port.GetCount(); ++i) {
        CString item;
        dlg.m_Port.GetLBText(i, item);
        events.Text("port", std::wstring(item));
    }
    const UpgradeState& s = State();
    events.Text("terminal", s.g_DevicePresent ? PortShortName(s.g_DebugDevFileName) : L"none");
}

void ListPortsVerbose(std::FILE* out, bool json, const std::function<OpenCheck(const std::wstring&)>& check,
                      const std::function<std::string(const std::wstring&)>& toUtf8) {
    const std::vector<PresentPort> ports = ListPresentPorts();
    if (ports.empty() && !json)
        std::fprintf(out, "no serial port is present\n");
    for (const PresentPort& port : ports) {
        const RowVerdict verdict = ExplainRows(port);
        OpenCheck opens;
        if (port.name.empty())
            opens.cause = "no port name to open";
        else
            opens = check(port.name);
        if (json) {
            std::string ids;
            for (const std::wstring& id : port.hardwareIds)
                ids += (ids.empty() ? "" : ",") + JsonString(id);
            std::string line =
                "{\"time\":\"" + text::IsoUtc(std::chrono::system_clock::now()) +
                "\",\"event\":\"port-check\",\"name\":" + JsonString(port.name) + ",\"hardware_ids\":[" + ids +
                "],\"friendly_name\":" + (port.hasFriendlyName ? JsonString(port.friendlyName) : std::string("null")) +
                ",\"opens\":" + (opens.opens ? "true" : "false") +
                ",\"open_cause\":" + (opens.opens ? "null" : JsonString(opens.cause)) +
                ",\"row\":" + (verdict.row >= 0 ? std::to_string(verdict.row) : "null") +
                ",\"table\":" + JsonString(verdict.why) + "}\n";
            std::fputs(line.c_str(), out);
            continue;
        }
        const auto shown = [&](const std::wstring& text) { return toUtf8(Printable(text)); };
        std::fprintf(out, "port: %s\n", port.name.empty() ? "(none in its friendly name)" : shown(port.name).c_str());
        if (port.hardwareIds.empty())
            std::fprintf(out, "  hardware ID: (none)\n");
        for (size_t i = 0; i < port.hardwareIds.size(); ++i)
            std::fprintf(out, "  %s %s\n",
                         i == 0 ? "hardware ID:" : "       also:", shown(port.hardwareIds[i]).c_str());
        std::fprintf(out, "  friendly name: %s\n", port.hasFriendlyName ? shown(port.friendlyName).c_str() : "(none)");
        std::fprintf(out, "  opens: %s\n", opens.opens ? "yes" : ("no: " + shown(Wide(opens.cause.c_str()))).c_str());
        std::fprintf(out, "  device table: %s\n", shown(verdict.why).c_str());
    }
    std::fflush(out);
}

}  // namespace cli
