// The Win32 comm calls (GetCommState, SetCommState, SetupComm, Get/
// SetCommTimeouts, ClearCommError) and ReadFile/WriteFile on comm handles,
// dispatched to the comm device behind the handle. Argument checks and the
// last error live here; the device only moves bytes and applies settings.
// The bench's time stamps of the receive path (stage_trace.h) are taken here
// too, where every device passes.
#include "platform/posix/kernel32/comm.h"

#include <memory>
#include <utility>

#include "platform/posix/kernel32/comm_device.h"
#include "platform/posix/kernel32/error.h"
#include "platform/posix/kernel32/handle.h"
#include "platform/posix/kernel32/stage_trace.h"
#include "tools/text/utf8.h"

namespace platform {
namespace {

constexpr std::wstring_view kDevicePrefix = L"\\\\.\\";

class CommObject final : public KernelObject {
public:
    CommObject(std::unique_ptr<CommDevice> device, DWORD access) : device_(std::move(device)), access_(access) {}

    HandleKind Kind() const override { return HandleKind::Comm; }
    CommDevice& Device() { return *device_; }

    BOOL Read(BYTE* buffer, DWORD count, DWORD& done) override {
        if ((access_ & GENERIC_READ) == 0)
            return Fail(ERROR_ACCESS_DENIED);
        stage::Stamp(stage::Mark::ReadEnter, count);
        const DWORD error = device_->Read(buffer, count, done);
        stage::Stamp(stage::Mark::ReadDone, done);
        return Result(error);
    }
    BOOL Write(const BYTE* buffer, DWORD count, DWORD& done) override {
        if ((access_ & GENERIC_WRITE) == 0)
            return Fail(ERROR_ACCESS_DENIED);
        stage::Stamp(stage::Mark::WriteEnter, count);
        const DWORD error = device_->Write(buffer, count, done);
        stage::Stamp(stage::Mark::WriteDone, done);
        return Result(error);
    }

    void Release() override {
        device_->ReleaseExclusive();
        stage::Flush();  // the port is closed: off the path the stamps measure
    }

    static BOOL Fail(DWORD error) {
        SetLastError(error);
        return FALSE;
    }
    static BOOL Result(DWORD error) { return error == ERROR_SUCCESS ? TRUE : Fail(error); }

private:
    std::unique_ptr<CommDevice> device_;
    const DWORD access_;
};

std::shared_ptr<CommObject> Comm(HANDLE handle) { return LookupHandleAs<CommObject>(handle, HandleKind::Comm); }

}  // namespace

bool IsDeviceName(std::wstring_view name) { return name.substr(0, kDevicePrefix.size()) == kDevicePrefix; }

std::string DevicePathFromName(std::wstring_view name) {
    if (!IsDeviceName(name))
        return {};
    const std::string rest = text::WideToUtf8(name.substr(kDevicePrefix.size()));
    if (rest.empty())
        return {};
    return rest.front() == '/' ? rest : "/dev/" + rest;
}

HANDLE OpenCommHandle(std::wstring_view name, DWORD desired_access, DWORD share_mode) {
    const std::string path = DevicePathFromName(name);
    if (path.empty()) {
        SetLastErrorWithCause(ERROR_FILE_NOT_FOUND, "no such port");
        return INVALID_HANDLE_VALUE;
    }
    CommOpenFailure failure;
    std::unique_ptr<CommDevice> device = OpenCommDevice(path, desired_access, share_mode, failure);
    if (!device) {
        SetLastErrorWithCause(failure.error == ERROR_SUCCESS ? ERROR_GEN_FAILURE : failure.error,
                              failure.cause.empty() ? ErrorCause(failure.error) : failure.cause);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = InsertHandle(std::make_shared<CommObject>(std::move(device), desired_access));
    if (handle == nullptr)
        return INVALID_HANDLE_VALUE;
    SetLastError(ERROR_SUCCESS);
    return handle;
}

DCB DefaultDcb(DWORD baud_rate) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = baud_rate;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

}  // namespace platform

using platform::Comm;
using platform::CommObject;

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
    auto comm = Comm(hFile);
    if (!comm)
        return FALSE;
    if (lpDCB == nullptr)
        return CommObject::Fail(ERROR_INVALID_PARAMETER);
    DCB dcb{};
    const DWORD error = comm->Device().GetState(dcb);
    if (error != ERROR_SUCCESS)
        return CommObject::Fail(error);
    *lpDCB = dcb;
    return TRUE;
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
    auto comm = Comm(hFile);
    if (!comm)
        return FALSE;
    if (lpDCB == nullptr)
        return CommObject::Fail(ERROR_INVALID_PARAMETER);
    return CommObject::Result(comm->Device().SetState(*lpDCB));
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    auto comm = Comm(hFile);
    if (!comm)
        return FALSE;
    return CommObject::Result(comm->Device().SetQueues(dwInQueue, dwOutQueue));
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    auto comm = Comm(hFile);
    if (!comm)
        return FALSE;
    if (lpCommTimeouts == nullptr)
        return CommObject::Fail(ERROR_INVALID_PARAMETER);
    COMMTIMEOUTS timeouts{};
    const DWORD error = comm->Device().GetTimeouts(timeouts);
    if (error != ERROR_SUCCESS)
        return CommObject::Fail(error);
    *lpCommTimeouts = timeouts;
    return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    auto comm = Comm(hFile);
    if (!comm)
        return FALSE;
    if (lpCommTimeouts == nullptr)
        return CommObject::Fail(ERROR_INVALID_PARAMETER);
    return CommObject::Result(comm->Device().SetTimeouts(*lpCommTimeouts));
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    auto comm = Comm(hFile);
    if (!comm)
        return FALSE;
    DWORD waiting = 0;
    const DWORD error = comm->Device().BytesWaiting(waiting);
    if (error != ERROR_SUCCESS)
        return CommObject::Fail(error);
    if (waiting != 0)
        platform::stage::Stamp(platform::stage::Mark::InQueueSeen, waiting);
    // The raw line delivers framing and parity errors as data, so there are
    // no error bits to report or clear.
    if (lpErrors != nullptr)
        *lpErrors = 0;
    if (lpStat != nullptr) {
        *lpStat = COMSTAT{};
        lpStat->cbInQue = waiting;
    }
    return TRUE;
}
