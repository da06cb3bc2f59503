// The comm side of CreateFileW, for file.cpp: a "\\.\NAME" path opens a comm
// device through the linked opener and enters it in the handle table.
#pragma once

#include <string>
#include <string_view>

#include "platform/posix/win32.h"

namespace platform {

// The device path a "\\.\NAME" name stands for: "/dev/NAME", or NAME itself
// when it starts with "/". Empty when name is not a device name.
std::string DevicePathFromName(std::wstring_view name);
bool IsDeviceName(std::wstring_view name);

// Opens a comm handle; INVALID_HANDLE_VALUE with the last error (and its
// cause) set on failure.
HANDLE OpenCommHandle(std::wstring_view name, DWORD desired_access, DWORD share_mode);

}  // namespace platform
