// Fuzzer: the receive path. Arbitrary chunk sizes and announced counts
// through OnDebugRead while a run waits for replies.
//
// Each input starts a run of a typed port and eight send records (byte 0
// chooses format 1 or format 2 for each, bit by bit) and plays it up to the
// first send. The receive watcher is then stopped, so that the fuzzer alone
// sends WM_DEBUGREAD, with counts the watcher would never announce. The rest
// of the input is operations of four bytes: bytes to queue on the port, the
// announced count (16 bits, high byte first), and the byte the queued bytes
// are made of; a queue count of 255 instead lets 5 seconds pass on the clock
// (a reply timeout).
//
// Checked after every operation (abort on violation): g_RxCount never above
// 2047; it changes only by the bytes actually read, appended whole, or goes
// back to 0 when a reply is accepted; nothing is taken while no run is
// active.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/messages.h"
#include "common/state.h"
#include "engine/run.h"
#include "framework/afxwin.h"
#include "fuzz/harness.h"
#include "platform/posix/user32/headless/harness.h"
#include "tests/fakes/comm.h"

namespace {

using fuzzharness::Check;

constexpr int kSends = 8;
constexpr DWORD kReplyTimeoutMs = 5000;

std::vector<uint8_t> Script(uint8_t formats) {
    std::vector<uint8_t> bytes(kScriptHeaderBytes, 0x5A);
    bytes.insert(bytes.end(), {CMD_OPEN_PORT, 0, 0});
    for (int i = 0; i < kSends; ++i)
        bytes.insert(bytes.end(), {static_cast<uint8_t>((formats >> i) & 1 ? CMD_SEND_F2 : CMD_SEND_F1), 0, 2, 0xA0,
                                   static_cast<uint8_t>(i)});
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzharness::ResetBetweenInputs();
    CVantrelDlg& dlg = fuzzharness::Dialog();
    const std::vector<uint8_t> script = Script(size > 0 ? data[0] : 0);
    fuzzharness::WriteScript(script.data(), script.size());
    fakecomm::Port port = fakecomm::AddPort("COM5");
    headless::TypeText(dlg.m_Port.GetSafeHwnd(), L"COM5");
    dlg.m_Baud.SetCurSel(0);
    headless::Click(dlg.m_BtnLoader.GetSafeHwnd());
    // The open arms one second; its tick takes the first send.
    const int before = fuzzharness::UpgradeTicks();
    Check(headless::RunUntil([&] { return fuzzharness::UpgradeTicks() > before; }, 2000), "the open's tick never came");
    Check(State().g_Upgrading && State().g_LastCmd != CMD_OPEN_PORT, "the run does not wait for a reply");

    State().g_PortOpen = false;
    Check(fuzzharness::PumpUntil([] { return State().g_ReadThread.load() == nullptr; }, 5000),
          "the receive watcher did not leave");
    HWND hwnd = dlg.GetSafeHwnd();

    for (size_t at = 1; at + 4 <= size; at += 4) {
        const uint8_t queued = data[at];
        const auto announced = static_cast<DWORD>(data[at + 1] * 256u + data[at + 2]);
        const uint8_t fill = data[at + 3];
        if (queued == 0xFF) {
            headless::AdvanceClock(kReplyTimeoutMs);
            headless::PumpMessages();
            Check(State().g_RxCount <= kRxBufferBytes - 1, "g_RxCount above 2047");
            continue;
        }
        port.Receive(std::vector<BYTE>(queued, fill));
        const uint32_t countBefore = State().g_RxCount;
        const bool running = State().g_Upgrading;
        const size_t pendingBefore = port.Pending();
        const bool readable = State().g_PortHandle.load() != nullptr;

        SendMessageW(hwnd, WM_DEBUGREAD, static_cast<WPARAM>(announced), 0);

        const uint32_t count = State().g_RxCount;
        const size_t got = pendingBefore - port.Pending();
        Check(count <= kRxBufferBytes - 1, "g_RxCount above 2047");
        Check(got <= announced, "more bytes read than announced");
        Check(readable || got == 0, "bytes read with no port open");
        if (!running || got == 0) {
            Check(count == countBefore, "g_RxCount changed although nothing was taken");
        } else if (countBefore + got < kRxBufferBytes) {
            Check(count == countBefore + got || count == 0, "a chunk was not appended whole");
        } else {
            Check(count == countBefore || count == 0, "a chunk past the buffer's end changed g_RxCount");
        }
    }
    fuzzharness::ResetBetweenInputs();
    return 0;
}
