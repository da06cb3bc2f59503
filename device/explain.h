// Why a present port is or is not taken for a terminal, for the diagnosis a
// user asks for (vantrel-cli --list --verbose): every member of the ports
// class with its properties as read, and which row of the device table its
// first hardware ID matches or, row by row, why it does not.
//
// Read-only: the same comparisons as the lookups (MatchesRow, PortNameOf in
// device/lookup.h), so the explanation cannot drift from what Auto Detect
// does. Not here: opening the port (the caller's platform knows how).
#pragma once

#include <string>
#include <vector>

struct PresentPort {
    std::vector<std::wstring> hardwareIds;  // empty when the device has none
    bool hasFriendlyName = false;
    std::wstring friendlyName;
    std::wstring name;  // inside the friendly name's parentheses; empty: none
};

// Every present device of the ports class, in enumeration order. Property
// texts end at their first zero, as the lookups read them.
std::vector<PresentPort> ListPresentPorts();

struct RowVerdict {
    int row = -1;      // the first matching row of g_DeviceIdTable, -1: none
    std::wstring why;  // one sentence: the match, or why no row matches
};

// The verdict for one port, from its first hardware ID and its name.
RowVerdict ExplainRows(const PresentPort& port);
