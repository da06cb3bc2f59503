// Worker threads: AfxBeginThread over std::thread, with a self-deleting
// thread object, and AfxEndThread.
#include <atomic>
#include <memory>
#include <system_error>
#include <thread>

#include "framework/afxwin.h"

namespace {

std::atomic<int> g_runningThreads{0};

// Thrown by AfxEndThread and caught where the thread began, so that the
// thread's stack unwinds and its RAII objects are released.
struct ThreadExit {
    UINT code;
};

void ThreadMain(CWinThread* thread) {
    thread->m_nThreadID = GetCurrentThreadId();
    try {
        thread->m_pfnThreadProc(thread->m_pThreadParams);
    } catch (const ThreadExit&) {
    }
    if (thread->m_bAutoDelete)
        delete thread;
    g_runningThreads.fetch_sub(1);
}

}  // namespace

CWinThread* AfxBeginThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam, int /*nPriority*/, UINT /*nStackSize*/,
                           DWORD dwCreateFlags, LPSECURITY_ATTRIBUTES /*lpSecurityAttrs*/) {
    if (pfnThreadProc == nullptr || (dwCreateFlags & CREATE_SUSPENDED)) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return nullptr;
    }
    // Like the framework it stands for, the thread object belongs to the
    // thread and deletes itself when the thread ends.
    auto owned = std::make_unique<CWinThread>();
    owned->m_pfnThreadProc = pfnThreadProc;
    owned->m_pThreadParams = pParam;
    CWinThread* thread = owned.get();
    g_runningThreads.fetch_add(1);
    try {
        std::thread(ThreadMain, thread).detach();
    } catch (const std::system_error&) {
        g_runningThreads.fetch_sub(1);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    owned.release();
    return thread;
}

void AfxEndThread(UINT nExitCode, BOOL /*bDelete*/) { throw ThreadExit{nExitCode}; }

int AfxRunningThreadCount() { return g_runningThreads.load(); }
