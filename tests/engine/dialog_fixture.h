// A test fixture with the tool's main dialog, created modeless on the
// headless back end, and with the debugger trace and message boxes captured.
//
// Shared by the engine and serial tests. The presence monitor that the
// dialog starts is stopped again at once, so that the only worker thread a
// test sees is the receive watcher. Every test runs in a fresh temporary
// current directory, where upgrader.asc is written.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/VantrelDlg.h"

struct ShownBox {
    std::wstring text;
    std::wstring caption;
    UINT type;
    bool buttonsEnabled;  // the start button's state while the box was shown
};

class DialogFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The debugger trace since SetUp (or ClearTrace), UTF-8, one entry per
    // OutputDebugString call.
    std::vector<std::string> Trace() const;
    bool Traced(const std::string& line) const;
    int CountTraced(const std::string& line) const;
    void ClearTrace();

    std::vector<ShownBox> Boxes() const;

    std::wstring Text(int id) const;
    bool Enabled(int id) const;
    int ProgressPos() const;
    int ProgressHigh() const;

    // Writes upgrader.asc into the test's directory.
    void WriteScript(const std::vector<unsigned char>& bytes) const;

    // Handles what is ready on this thread without moving the manual clock.
    void Pump();
    // Pumps (real time, at most maxMs) until done() holds; false on timeout.
    bool PumpUntil(const std::function<bool()>& done, unsigned maxMs = 3000);
    // Moves the manual clock on and handles the timers that became due.
    void Advance(unsigned ms);

    // Ends a run, closes the port and waits for the watcher to leave.
    void CloseEverything();

    std::unique_ptr<CVantrelDlg> dlg_;
    std::filesystem::path dir_;
    std::filesystem::path oldDir_;

    mutable std::mutex mutex_;
    std::vector<std::string> trace_;
    std::vector<ShownBox> boxes_;
};

// Script bytes: a 32-byte header, then records.
class ScriptBuilder {
public:
    ScriptBuilder();
    ScriptBuilder& Record(unsigned char command, const std::vector<unsigned char>& payload = {});
    ScriptBuilder& Wait() { return Record(0x01); }
    ScriptBuilder& Delay(unsigned seconds) {
        return Record(0x02, {static_cast<unsigned char>(seconds >> 8), static_cast<unsigned char>(seconds & 0xFF)});
    }
    ScriptBuilder& OpenPort() { return Record(0x03); }
    ScriptBuilder& ClosePort() { return Record(0x04); }
    ScriptBuilder& SendF1(const std::vector<unsigned char>& payload) { return Record(0x11, payload); }
    ScriptBuilder& SendF2(const std::vector<unsigned char>& payload) { return Record(0x12, payload); }
    ScriptBuilder& Raw(const std::vector<unsigned char>& bytes);
    const std::vector<unsigned char>& Bytes() const { return bytes_; }

private:
    std::vector<unsigned char> bytes_;
};

// Reply frames as the terminal sends them.
std::vector<unsigned char> Format1Reply(unsigned char status);
std::vector<unsigned char> Format2Reply(unsigned char mark);

// UTF-8 of a wide text, for comparing with the trace.
std::string Utf8(const std::wstring& text);
