// The one table from POSIX errno values to Win32 ERROR_* codes, and the
// plain-words causes shown to the operator and written to the trace.
//
// The same errno means different things for a serial port and for a file
// (EACCES on a tty almost always means the user is not in the group that owns
// the port), so the caller says what kind of object failed.
#pragma once

#include <string>

#include "platform/posix/win32.h"

namespace platform {

enum class ErrorObject { File, Port };

// The Win32 code that Windows gives for the same failure.
DWORD ErrorFromErrno(int err, ErrorObject object);

// Plain words for an errno on a file or a port: "permission denied — add the
// user to the group dialout", "the port is in use by another program", ...
std::string ErrnoCause(int err, ErrorObject object);

// Plain words for a Win32 code when nothing more is known.
std::string ErrorCause(DWORD code);

}  // namespace platform
