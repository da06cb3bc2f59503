// The program entry of a windowed tool on POSIX: the program's own command
// line first (framework/entry.h), then the framework's AfxWinMain.
#include <cstdio>
#include <cstdlib>

#include "framework/afxwin.h"
#include "framework/entry.h"

int main(int argc, char** argv) {
    if (const int done = ReadWindowCommandLine(argc, argv); done >= 0)
        return done;
    const int code =
        AfxWinMain(reinterpret_cast<HINSTANCE>(GetModuleHandleW(nullptr)), nullptr, nullptr, SW_SHOWNORMAL);
    std::fflush(nullptr);
    // A worker that is still running (a receive watcher on a port left open
    // by a quit during a run) must not meet static destructors: leave at once.
    if (AfxRunningThreadCount() > 0)
        std::_Exit(code);
    return code;
}
