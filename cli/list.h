// vantrel-cli --list: the port box's entries and the terminal found, exactly
// as scripts read them; with --verbose the diagnosis of every present port.
#pragma once

#include <functional>

#include "app/VantrelDlg.h"
#include "cli/events.h"
#include "cli/host.h"

namespace cli {

// "port: <name>" for each entry of the port box, then "terminal: <name>" or
// "terminal: none".
void ListPorts(CVantrelDlg& dlg, Events& events);

// For every present port: its name, hardware IDs, friendly name, whether it
// opens (check decides) and its verdict against the device table. Device
// texts are escaped (cli/escape.h). As text for a person, or with json one
// object per port: {"time":...,"event":"port-check","name":...,"hardware_ids":[...],
// "friendly_name":...,"opens":true,"open_cause":...,"row":0,"table":...}.
void ListPortsVerbose(std::FILE* out, bool json, const std::function<OpenCheck(const std::wstring&)>& check,
                      const std::function<std::string(const std::wstring&)>& toUtf8);

}  // namespace cli
