// Sleep(DWORD) for the run soak, linked through --wrap: pauses of more than
// a millisecond last one. The only such pause on a run's path is the close's
// 50 ms settle time, which exists for a real driver's receive watcher; the
// scripted port never reuses a handle, so the shorter pause changes no
// outcome, only the soak's length.
#include <cstdint>

extern "C" void __real__Z5Sleepj(uint32_t ms);
extern "C" void __wrap__Z5Sleepj(uint32_t ms) { __real__Z5Sleepj(ms > 1 ? 1 : ms); }
