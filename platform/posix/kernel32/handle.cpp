// The handle table and CloseHandle. One mutex guards the table; it is held
// only to find, enter or remove an entry, never across I/O, so a watcher
// polling a port is not held up by a read on the window thread.
#include "platform/posix/kernel32/handle.h"

#include <mutex>
#include <unordered_map>

namespace {

// Handle values step by 4 as on Windows, starting above the small numbers
// that a confused caller might pass (0, 1, 2). They never wrap into -1.
constexpr uintptr_t kFirstHandle = 0x40;
constexpr uintptr_t kHandleStep = 4;
constexpr uintptr_t kLastHandle = 0x7ffffff0;

struct Table {
    std::mutex mutex;
    std::unordered_map<uintptr_t, std::shared_ptr<platform::KernelObject>> objects;
    uintptr_t next = kFirstHandle;
};

Table& TheTable() {
    static Table table;
    return table;
}

}  // namespace

namespace platform {

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
    Table& table = TheTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    if (table.next > kLastHandle) {
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return nullptr;
    }
    const uintptr_t value = table.next;
    table.next += kHandleStep;
    table.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
    Table& table = TheTable();
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
        if (it != table.objects.end())
            return it->second;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

size_t OpenHandleCount() {
    Table& table = TheTable();
    std::lock_guard<std::mutex> lock(table.mutex);
    return table.objects.size();
}

}  // namespace platform

BOOL WINAPI CloseHandle(HANDLE hObject) {
    Table& table = TheTable();
    std::shared_ptr<platform::KernelObject> object;
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        auto it = table.objects.find(reinterpret_cast<uintptr_t>(hObject));
        if (it == table.objects.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        object = std::move(it->second);
        table.objects.erase(it);
    }
    // The object closes its descriptor in its destructor: here, outside the
    // lock, unless a call on another thread still holds it, in which case the
    // descriptor is closed as that call returns. Closing it under a running
    // call would let the kernel reuse the number for an unrelated open.
    object->Release();
    object.reset();
    return TRUE;
}
