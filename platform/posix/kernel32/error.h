// The thread's last error together with its plain-words cause, for our own
// C++ callers (the command-line runner, tests) that want more than the code:
// ERROR_ACCESS_DENIED alone cannot tell "no permission" from "in use".
#pragma once

#include <string>

#include "platform/posix/kernel32/errno_map.h"
#include "platform/posix/win32.h"

namespace platform {

// Sets the last error and the cause that goes with it.
void SetLastErrorWithCause(DWORD code, std::string cause);
// Sets the last error from an errno on a file or a port, with its cause.
void SetLastErrorFromErrno(int err, ErrorObject object);
// The cause of the thread's last error; the generic words for the code when
// the failure recorded nothing more precise.
std::string LastErrorCause();

}  // namespace platform
