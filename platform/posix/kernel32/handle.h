// The kernel handle table: what a HANDLE from CreateFileW stands for.
//
// A HANDLE is a small integer cast to a pointer, never null and never
// INVALID_HANDLE_VALUE. Values are not reused, so a handle kept after
// CloseHandle keeps failing with ERROR_INVALID_HANDLE instead of reaching a
// newer object. Lookups hand out shared ownership: a call that runs on one
// thread while another thread closes the handle finishes on a live object,
// and the object goes away when its last call returns.
#pragma once

#include <memory>

#include "platform/posix/win32.h"

namespace platform {

enum class HandleKind { File, Comm };

// An object behind a handle. ReadFile and WriteFile dispatch here; both set
// the last error themselves on failure and leave *done at what was transferred.
class KernelObject {
public:
    virtual ~KernelObject() = default;
    virtual HandleKind Kind() const = 0;
    virtual BOOL Read(BYTE* buffer, DWORD count, DWORD& done) = 0;
    virtual BOOL Write(const BYTE* buffer, DWORD count, DWORD& done) = 0;
    // Called by CloseHandle at once, even while a call on another thread
    // still holds the object: gives up what keeps other opens out, so that
    // the caller can open the same port again straight after its close.
    virtual void Release() {}
};

// Enters an object; returns its new handle, or nullptr (last error set) when
// the table is full.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
// The object behind a handle, or nullptr with ERROR_INVALID_HANDLE set.
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
// As LookupHandle, but only an object of the given kind is found.
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle, HandleKind kind);
// Number of open handles; for tests that check nothing leaks.
size_t OpenHandleCount();

}  // namespace platform

template <class T>
std::shared_ptr<T> platform::LookupHandleAs(HANDLE handle, HandleKind kind) {
    std::shared_ptr<KernelObject> object = LookupHandle(handle);
    if (!object)
        return nullptr;
    if (object->Kind() != kind) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return std::static_pointer_cast<T>(object);
}
