// The scripted serial port (comm.h) and the opener that links it at the
// comm device seam in place of the real tty.
#include "tests/fakes/comm.h"

#include <algorithm>
#include <array>
#include <deque>
#include <map>
#include <mutex>

#include "platform/posix/kernel32/comm_device.h"
#include "platform/posix/kernel32/errno_map.h"

namespace fakecomm {

constexpr size_t kCalls = static_cast<size_t>(Call::ClearCommError) + 1;

struct PortState {
    mutable std::mutex mutex;
    std::deque<BYTE> rx;
    std::vector<std::vector<BYTE>> writes;
    bool unplugged = false;
    int open = 0;  // handles open on the port now
    DWORD open_error = ERROR_SUCCESS;
    std::array<DWORD, kCalls> fail{};
    std::array<int, kCalls> calls{};
    std::optional<DWORD> write_limit;
    DCB dcb = platform::DefaultDcb(CBR_9600);
    COMMTIMEOUTS timeouts{};
    std::optional<DCB> last_dcb;
    std::optional<COMMTIMEOUTS> last_timeouts;
    std::optional<Queues> last_queues;
    int opens = 0;
    int closes = 0;
    std::function<void(Port&, const std::vector<BYTE>&)> on_write;
};

namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<PortState>> ports;  // by device path
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

// The path the comm dispatcher hands to the opener for "\\.\<name>".
std::string PathOf(const std::string& name) { return !name.empty() && name.front() == '/' ? name : "/dev/" + name; }

// Counts the call and returns the failure set for it, if any, or the loss of the device.
DWORD Enter(PortState& s, Call call) {
    ++s.calls[static_cast<size_t>(call)];
    if (s.unplugged)
        return ERROR_BAD_UNIT;
    return s.fail[static_cast<size_t>(call)];
}

class FakeDevice final : public platform::CommDevice {
public:
    explicit FakeDevice(std::shared_ptr<PortState> state) : state_(std::move(state)) {}

    ~FakeDevice() override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        --state_->open;
        ++state_->closes;
    }

    DWORD GetState(DCB& dcb) override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (const DWORD error = Enter(*state_, Call::GetCommState))
            return error;
        dcb = state_->dcb;
        return ERROR_SUCCESS;
    }

    DWORD SetState(const DCB& dcb) override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (const DWORD error = Enter(*state_, Call::SetCommState))
            return error;
        // The checks every driver makes, so that a broken DCB is not mistaken for a good one.
        if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
            dcb.StopBits > TWOSTOPBITS)
            return ERROR_INVALID_PARAMETER;
        state_->dcb = dcb;
        state_->last_dcb = dcb;
        return ERROR_SUCCESS;
    }

    DWORD SetQueues(DWORD in_queue, DWORD out_queue) override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (const DWORD error = Enter(*state_, Call::SetupComm))
            return error;
        state_->last_queues = Queues{in_queue, out_queue};
        return ERROR_SUCCESS;
    }

    DWORD GetTimeouts(COMMTIMEOUTS& timeouts) override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (const DWORD error = Enter(*state_, Call::GetCommTimeouts))
            return error;
        timeouts = state_->timeouts;
        return ERROR_SUCCESS;
    }

    DWORD SetTimeouts(const COMMTIMEOUTS& timeouts) override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (const DWORD error = Enter(*state_, Call::SetCommTimeouts))
            return error;
        state_->timeouts = timeouts;
        state_->last_timeouts = timeouts;
        return ERROR_SUCCESS;
    }

    DWORD Read(BYTE* buffer, DWORD count, DWORD& done) override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        done = 0;
        if (const DWORD error = Enter(*state_, Call::ReadFile))
            return error;
        const size_t n = std::min<size_t>(count, state_->rx.size());
        std::copy_n(state_->rx.begin(), n, buffer);
        state_->rx.erase(state_->rx.begin(), state_->rx.begin() + static_cast<std::ptrdiff_t>(n));
        done = static_cast<DWORD>(n);
        return ERROR_SUCCESS;
    }

    DWORD Write(const BYTE* buffer, DWORD count, DWORD& done) override {
        std::vector<BYTE> written;
        std::function<void(Port&, const std::vector<BYTE>&)> hook;
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            done = 0;
            if (const DWORD error = Enter(*state_, Call::WriteFile))
                return error;
            const DWORD n = state_->write_limit ? std::min(count, *state_->write_limit) : count;
            written.assign(buffer, buffer + n);
            state_->writes.push_back(written);
            done = n;
            hook = state_->on_write;
        }
        if (hook) {
            Port port(state_);
            hook(port, written);
        }
        return ERROR_SUCCESS;
    }

    DWORD BytesWaiting(DWORD& count) override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (const DWORD error = Enter(*state_, Call::ClearCommError))
            return error;
        count = static_cast<DWORD>(state_->rx.size());
        return ERROR_SUCCESS;
    }

private:
    std::shared_ptr<PortState> state_;
};

}  // namespace

void Port::Receive(const std::vector<BYTE>& bytes) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->rx.insert(state_->rx.end(), bytes.begin(), bytes.end());
}

void Port::Receive(std::string_view bytes) { Receive(std::vector<BYTE>(bytes.begin(), bytes.end())); }

size_t Port::Pending() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->rx.size();
}

void Port::Unplug() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->unplugged = true;
}

void Port::Replug() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->unplugged = false;
}

void Port::OnWrite(std::function<void(Port&, const std::vector<BYTE>&)> hook) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->on_write = std::move(hook);
}

void Port::FailOpen(DWORD error) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->open_error = error;
}

void Port::FailCall(Call call, DWORD error) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->fail[static_cast<size_t>(call)] = error;
}

void Port::LimitWrites(std::optional<DWORD> max_bytes) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->write_limit = max_bytes;
}

std::vector<std::vector<BYTE>> Port::Writes() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->writes;
}

std::vector<BYTE> Port::Written() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    std::vector<BYTE> all;
    for (const auto& write : state_->writes)
        all.insert(all.end(), write.begin(), write.end());
    return all;
}

void Port::ClearWrites() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->writes.clear();
}

std::optional<DCB> Port::LastDcb() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->last_dcb;
}

std::optional<COMMTIMEOUTS> Port::LastTimeouts() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->last_timeouts;
}

std::optional<Queues> Port::LastQueues() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->last_queues;
}

int Port::Opens() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->opens;
}

int Port::Closes() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->closes;
}

bool Port::IsOpen() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->open > 0;
}

int Port::Calls(Call call) const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->calls[static_cast<size_t>(call)];
}

void Port::SetInitialDcb(const DCB& dcb) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->dcb = dcb;
}

void Reset() {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.ports.clear();
}

Port AddPort(const std::string& name) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto& state = registry.ports[PathOf(name)];
    if (!state)
        state = std::make_shared<PortState>();
    return Port(state);
}

std::optional<Port> FindPort(const std::string& name) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.ports.find(PathOf(name));
    if (it == registry.ports.end())
        return std::nullopt;
    return Port(it->second);
}

}  // namespace fakecomm

namespace platform {

std::unique_ptr<CommDevice> OpenCommDevice(const std::string& path, DWORD desired_access, DWORD share_mode,
                                           CommOpenFailure& failure) {
    (void)desired_access;  // the dispatcher checks access against each read and write
    std::shared_ptr<fakecomm::PortState> state;
    {
        fakecomm::Registry& registry = fakecomm::TheRegistry();
        std::lock_guard<std::mutex> lock(registry.mutex);
        auto it = registry.ports.find(path);
        if (it != registry.ports.end())
            state = it->second;
    }
    if (!state) {
        failure = {ERROR_FILE_NOT_FOUND, "no such port"};
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->unplugged) {
        failure = {ERROR_FILE_NOT_FOUND, "no such port"};
        return nullptr;
    }
    if (state->open_error != ERROR_SUCCESS) {
        failure = {state->open_error, ErrorCause(state->open_error)};
        return nullptr;
    }
    // Exclusive like a real COM port: one open at a time unless shared.
    if (state->open > 0 && share_mode == 0) {
        failure = {ERROR_ACCESS_DENIED, "the port is in use by another program"};
        return nullptr;
    }
    ++state->open;
    ++state->opens;
    return std::make_unique<fakecomm::FakeDevice>(state);
}

}  // namespace platform

extern "C" void VantrelCommOpenerLinked(void) {}
