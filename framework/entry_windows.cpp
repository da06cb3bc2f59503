// The program entry of a windowed tool on Windows: the wide entry point
// (linked with -municode) hands over to the framework's AfxWinMain.
#include <cstdio>
#include <cstdlib>

#include "framework/afxwin.h"

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nCmdShow) {
    const int code = AfxWinMain(hInstance, hPrevInstance, lpCmdLine, nCmdShow);
    std::fflush(nullptr);
    // A worker that is still running (a receive watcher on a port left open
    // by a quit during a run) must not meet static destructors: leave at once.
    if (AfxRunningThreadCount() > 0) std::_Exit(code);
    return code;
}
