// testport over the scripted comm device: one port, "COM5" in most tests.
#include "tests/engine/test_port.h"

#include <optional>

#include "tests/fakes/comm.h"

namespace testport {

namespace {

std::optional<fakecomm::Port>& Current() {
    static std::optional<fakecomm::Port> port;
    return port;
}

fakecomm::Port& Port() {
    if (!Current())
        Current() = fakecomm::AddPort("COM5");
    return *Current();
}

}  // namespace

void Reset() {
    fakecomm::Reset();
    Current().reset();
}

void AddPort(const std::string& name) { Current() = fakecomm::AddPort(name); }

std::vector<std::vector<BYTE>> Writes() { return Port().Writes(); }

void Receive(const std::vector<BYTE>& bytes) { Port().Receive(bytes); }

size_t Pending() { return Port().Pending(); }

DCB LastDcb() { return Port().LastDcb().value_or(DCB{}); }

COMMTIMEOUTS LastTimeouts() { return Port().LastTimeouts().value_or(COMMTIMEOUTS{}); }

DWORD LastInQueue() { return Port().LastQueues().value_or(fakecomm::Queues{}).in; }

DWORD LastOutQueue() { return Port().LastQueues().value_or(fakecomm::Queues{}).out; }

int Opens() { return Port().Opens(); }

int Closes() { return Port().Closes(); }

void FailSetCommState(bool fail) {
    Port().FailCall(fakecomm::Call::SetCommState, fail ? ERROR_GEN_FAILURE : ERROR_SUCCESS);
}

void FailWrites(DWORD error) { Port().FailCall(fakecomm::Call::WriteFile, error); }

void LimitWrites(long max_bytes) {
    Port().LimitWrites(max_bytes < 0 ? std::nullopt : std::optional<DWORD>(static_cast<DWORD>(max_bytes)));
}

void Unplug() { Port().Unplug(); }

}  // namespace testport
