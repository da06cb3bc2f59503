// The program entry of a windowed tool on POSIX: the framework's AfxWinMain.
#include <cstdio>
#include <cstdlib>

#include "framework/afxwin.h"

int main() {
    const int code = AfxWinMain(reinterpret_cast<HINSTANCE>(GetModuleHandleW(nullptr)), nullptr, nullptr, SW_SHOWNORMAL);
    std::fflush(nullptr);
    // A worker that is still running (a receive watcher on a port left open
    // by a quit during a run) must not meet static destructors: leave at once.
    if (AfxRunningThreadCount() > 0) std::_Exit(code);
    return code;
}
