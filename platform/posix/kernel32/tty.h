// What the real tty device (tty.cpp) offers beyond the comm seam of
// comm_device.h: the bound of ClearCommError's wait for input, for tests.
#pragma once

namespace platform {

// Sets how long ClearCommError waits at most on an empty input queue, in
// milliseconds; a negative value restores the built-in bound. Tests use a
// long bound to tell "returned because bytes came" from "returned at the
// bound" without timing anything.
void SetInputWaitForTest(int ms);

}  // namespace platform
