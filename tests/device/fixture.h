// Test fixture for the device lookups and the presence monitor: the scripted
// device set emptied, the debugger trace captured, the process state reset,
// and the main dialog created modeless on the headless back end when a test
// asks for it.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/VantrelDlg.h"

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Creates the dialog; its initialisation runs AppInit, which starts the
    // presence monitor. Unless keepMonitor, the monitor is stopped again and
    // waited for, and the trace cleared.
    void OpenDialog(bool keepMonitor);
    // Stops the monitor and waits (bounded) until no worker thread runs.
    bool StopMonitor();

    std::vector<std::string> Trace() const;
    int CountTraced(const std::string& line) const;
    void ClearTrace();

    // The port box's list, in order, and the text of a control.
    std::vector<std::wstring> PortItems() const;
    std::wstring Text(int id) const;

    // Pumps the window thread (real time, at most maxMs) until done() holds.
    bool PumpUntil(const std::function<bool()>& done, unsigned maxMs = 3000);
    // Pumps for a fixed real time.
    void PumpFor(unsigned ms);

    std::unique_ptr<CVantrelDlg> dlg_;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> trace_;
};

// A port name in this platform's form with the given suffix: "COM7" where
// ports are COM ports, "tty7" here. Both prefixes have three characters, so
// lengths carry over.
std::wstring PortName(const std::wstring& suffix);
// A friendly name that ends in "(" + PortName(suffix) + ")".
std::wstring FriendlyName(const std::wstring& description, const std::wstring& suffix);
// UTF-8 of a wide text, for comparing with the trace.
std::string Utf8(const std::wstring& text);
// Waits in real time (bounded) without pumping.
bool WaitReal(const std::function<bool()>& done, unsigned maxMs);
