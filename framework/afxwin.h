// Our dialog application framework: the subset of the MFC classes and
// functions the tool uses, with their names and behaviour, written once over
// the Win32 API of platform/api.h. It holds no platform code of its own.
//
// Differences from MFC that callers must know:
// - CString is std::wstring.
// - Exceptions are thrown by value (CFileException, CMemoryException) and
//   caught by reference; the message dispatch reports them with a message box.
// - A dialog binds control wrappers to its controls (DDX_Control) without
//   subclassing them.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <string>

#include "platform/api.h"

using CString = std::wstring;

class CWnd;
class CWinApp;
class CDataExchange;

// ---------------------------------------------------------------- objects and exceptions
class CObject {
public:
    virtual ~CObject() = default;
};

class CException : public CObject, public std::exception {
public:
    // The text the framework shows for this exception.
    virtual BOOL GetErrorMessage(LPWSTR lpszError, UINT nMaxError, PUINT pnHelpContext = nullptr) const;
    // Shows the text in the application message box.
    virtual int ReportError(UINT nType = MB_OK, UINT nMessageID = 0) const;
    const char* what() const noexcept override { return "framework exception"; }
};

class CMemoryException : public CException {
public:
    BOOL GetErrorMessage(LPWSTR lpszError, UINT nMaxError, PUINT pnHelpContext = nullptr) const override;
};

class CFileException : public CException {
public:
    enum {
        none = 0,
        genericException,
        fileNotFound,
        badPath,
        tooManyOpenFiles,
        accessDenied,
        invalidFile,
        removeCurrentDir,
        directoryFull,
        badSeek,
        hardIO,
        sharingViolation,
        lockViolation,
        diskFull,
        endOfFile,
    };
    CFileException(int cause = none, LONG lOsError = -1, LPCWSTR lpszFileName = nullptr);
    BOOL GetErrorMessage(LPWSTR lpszError, UINT nMaxError, PUINT pnHelpContext = nullptr) const override;
    static int OsErrorToException(LONG lOsError);
    static void ThrowOsError(LONG lOsError, LPCWSTR lpszFileName = nullptr);

    int m_cause;
    LONG m_lOsError;
    CString m_strFileName;
};

// ---------------------------------------------------------------- files
// A file opened through CreateFileW; the handle is closed by Close or the destructor.
class CFile : public CObject {
public:
    enum OpenFlags : UINT {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        shareCompat = 0x0000,
        shareExclusive = 0x0010,
        shareDenyWrite = 0x0020,
        shareDenyRead = 0x0030,
        shareDenyNone = 0x0040,
        modeCreate = 0x1000,
        typeText = 0x4000,
        typeBinary = 0x8000,
    };
    enum SeekPosition : UINT { begin = 0, current = 1, end = 2 };

    CFile() = default;
    // Opens or throws CFileException.
    CFile(LPCWSTR lpszFileName, UINT nOpenFlags);
    ~CFile() override;
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // Opens; on failure returns FALSE and fills pError when given.
    virtual BOOL Open(LPCWSTR lpszFileName, UINT nOpenFlags, CFileException* pError = nullptr);
    virtual ULONGLONG GetLength() const;                // throws CFileException
    virtual ULONGLONG Seek(LONGLONG lOff, UINT nFrom);  // throws CFileException
    void SeekToBegin() { Seek(0, begin); }
    virtual UINT Read(void* lpBuf, UINT nCount);  // throws CFileException
    virtual void Close();                         // throws CFileException when the close fails
    void Abort();                                 // closes, never throws

    HANDLE m_hFile = INVALID_HANDLE_VALUE;

private:
    CString m_strFileName;
};

// ---------------------------------------------------------------- message maps
class CCmdTarget;
// A handler thunk: calls the member function with the message's parameters
// and returns the message's result.
using AFX_PMSG_THUNK = LRESULT (*)(CCmdTarget* target, WPARAM wParam, LPARAM lParam);

struct AFX_MSGMAP_ENTRY {
    UINT nMessage;  // window message; 0 ends the map
    UINT nCode;     // notification code for WM_COMMAND
    UINT nID;       // control id for WM_COMMAND, 0 otherwise
    AFX_PMSG_THUNK pfn;
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;
};

#define DECLARE_MESSAGE_MAP()                     \
protected:                                        \
    static const AFX_MSGMAP* GetThisMessageMap(); \
    const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                        \
    const AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); } \
    const AFX_MSGMAP* theClass::GetThisMessageMap() {                                 \
        using ThisClass = theClass;                                                   \
        using TheBaseClass = baseClass;                                               \
        static_assert(sizeof(ThisClass) > 0);                                         \
        static const AFX_MSGMAP_ENTRY _messageEntries[] = {
#define END_MESSAGE_MAP()                                                                     \
    { 0, 0, 0, nullptr }                                                                      \
    }                                                                                         \
    ;                                                                                         \
    static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap, _messageEntries}; \
    return &messageMap;                                                                       \
    }

#define AFX_THUNK(body)                                           \
    [](CCmdTarget* _t, WPARAM wParam, LPARAM lParam) -> LRESULT { \
        auto* self = static_cast<ThisClass*>(_t);                 \
        (void)self;                                               \
        (void)wParam;                                             \
        (void)lParam;                                             \
        body                                                      \
    }

// void OnTimer(UINT_PTR nIDEvent)
#define ON_WM_TIMER()                                                         \
    { WM_TIMER, 0, 0, AFX_THUNK(self->OnTimer((UINT_PTR)wParam); return 0;) } \
    ,
// void OnPaint()
#define ON_WM_PAINT()                                         \
    { WM_PAINT, 0, 0, AFX_THUNK(self->OnPaint(); return 0;) } \
    ,
// HCURSOR OnQueryDragIcon()
#define ON_WM_QUERYDRAGICON()                                                       \
    { WM_QUERYDRAGICON, 0, 0, AFX_THUNK(return (LRESULT)self->OnQueryDragIcon();) } \
    ,
// void OnSysCommand(UINT nID, LPARAM lParam)
#define ON_WM_SYSCOMMAND()                                                                  \
    { WM_SYSCOMMAND, 0, 0, AFX_THUNK(self->OnSysCommand((UINT)wParam, lParam); return 0;) } \
    ,
// LRESULT memberFxn(WPARAM, LPARAM)
// Handlers are named as in MFC: ON_BN_CLICKED(IDC_X, &CMyDlg::OnX).
#define ON_MESSAGE(message, memberFxn)                                                 \
    { (UINT)(message), 0, 0, AFX_THUNK(return (self->*(memberFxn))(wParam, lParam);) } \
    ,
// void memberFxn(), for a WM_COMMAND with notification code 0 (a menu command or BN_CLICKED)
#define ON_COMMAND(id, memberFxn)                                                     \
    { WM_COMMAND, 0, (UINT)(WORD)(id), AFX_THUNK((self->*(memberFxn))(); return 0;) } \
    ,
#define ON_BN_CLICKED(id, memberFxn)                                                           \
    { WM_COMMAND, BN_CLICKED, (UINT)(WORD)(id), AFX_THUNK((self->*(memberFxn))(); return 0;) } \
    ,
#define ON_CBN_DROPDOWN(id, memberFxn)                                                           \
    { WM_COMMAND, CBN_DROPDOWN, (UINT)(WORD)(id), AFX_THUNK((self->*(memberFxn))(); return 0;) } \
    ,

class CCmdTarget : public CObject {
public:
    // Walks this object's message maps, most derived first; calls the first
    // matching entry. Returns FALSE when no entry matched.
    BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);

protected:
    static const AFX_MSGMAP* GetThisMessageMap();
    virtual const AFX_MSGMAP* GetMessageMap() const;
};

// ---------------------------------------------------------------- windows
class CWnd : public CCmdTarget {
public:
    CWnd() = default;
    ~CWnd() override = default;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND GetSafeHwnd() const { return m_hWnd.load(); }
    operator HWND() const { return m_hWnd; }
    void Attach(HWND hWnd) { m_hWnd = hWnd; }
    HWND Detach() { return m_hWnd.exchange(nullptr); }

    // Thin wrappers over the Win32 calls on m_hWnd; safe from any thread
    // where the Win32 call is.
    void SetWindowText(LPCWSTR lpszString) { ::SetWindowTextW(m_hWnd, lpszString); }
    int GetWindowText(LPWSTR lpszStringBuf, int nMaxCount) const {
        return ::GetWindowTextW(m_hWnd, lpszStringBuf, nMaxCount);
    }
    void GetWindowText(CString& rString) const;
    int GetWindowTextLength() const { return ::GetWindowTextLengthW(m_hWnd); }
    BOOL EnableWindow(BOOL bEnable = TRUE) { return ::EnableWindow(m_hWnd, bEnable); }
    BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
        return ::SendMessageW(m_hWnd, message, wParam, lParam);
    }
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
        return ::PostMessageW(m_hWnd, message, wParam, lParam);
    }
    UINT_PTR SetTimer(UINT_PTR nIDEvent, UINT nElapse, TIMERPROC lpfnTimer = nullptr) {
        return ::SetTimer(m_hWnd, nIDEvent, nElapse, lpfnTimer);
    }
    BOOL KillTimer(UINT_PTR nIDEvent) { return ::KillTimer(m_hWnd, nIDEvent); }
    BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
    void GetClientRect(LPRECT lpRect) const { ::GetClientRect(m_hWnd, lpRect); }
    HICON SetIcon(HICON hIcon, BOOL bBigIcon) {
        return (HICON)SendMessage(WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL, (LPARAM)hIcon);
    }
    int GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }
    HWND SetFocus() { return ::SetFocus(m_hWnd); }

    // The window's default processing of the message now being handled. In a
    // dialog it runs when the handler returns (the dialog manager does it),
    // so call it last, as the tool's handlers do.
    LRESULT Default();
    // Runs the message through the message map (and the application's
    // command map for unhandled commands), reporting framework exceptions.
    // Returns false when nobody handled it or the handler asked for Default().
    bool RouteMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    // The window procedure: the message map, then the default processing.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);

    // Handlers whose base versions give the default processing.
    void OnTimer(UINT_PTR nIDEvent);
    void OnPaint();
    void OnSysCommand(UINT nID, LPARAM lParam);
    HCURSOR OnQueryDragIcon();

    std::atomic<HWND> m_hWnd{nullptr};

protected:
    // The message now being handled, for Default().
    struct CurrentMessage {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    CurrentMessage m_currentMsg{};
    bool m_defaultRequested = false;
    bool m_isDialog = false;
};

class CStatic : public CWnd {};
class CButton : public CWnd {};

class CProgressCtrl : public CWnd {
public:
    int SetPos(int nPos) { return (int)SendMessage(PBM_SETPOS, (WPARAM)nPos, 0); }
    int GetPos() const { return (int)SendMessage(PBM_GETPOS, 0, 0); }
    void SetRange32(int nLower, int nUpper) { SendMessage(PBM_SETRANGE32, (WPARAM)nLower, (LPARAM)nUpper); }
    void GetRange(int& nLower, int& nUpper) const;
};

class CComboBox : public CWnd {
public:
    int AddString(LPCWSTR lpszString) { return (int)SendMessage(CB_ADDSTRING, 0, (LPARAM)lpszString); }
    void ResetContent() { SendMessage(CB_RESETCONTENT, 0, 0); }
    int SetCurSel(int nSelect) { return (int)SendMessage(CB_SETCURSEL, (WPARAM)nSelect, 0); }
    int GetCurSel() const { return (int)SendMessage(CB_GETCURSEL, 0, 0); }
    int GetCount() const { return (int)SendMessage(CB_GETCOUNT, 0, 0); }
    void GetLBText(int nIndex, CString& rString) const;
};

// A device context for painting, BeginPaint to EndPaint.
class CPaintDC {
public:
    explicit CPaintDC(CWnd* pWnd);
    ~CPaintDC();
    CPaintDC(const CPaintDC&) = delete;
    CPaintDC& operator=(const CPaintDC&) = delete;
    operator HDC() const { return m_hDC; }
    HDC GetSafeHdc() const { return m_hDC; }
    BOOL DrawIcon(int x, int y, HICON hIcon) { return ::DrawIcon(m_hDC, x, y, hIcon); }

    HDC m_hDC = nullptr;
    PAINTSTRUCT m_ps{};

private:
    HWND m_hWnd;
};

// ---------------------------------------------------------------- dialogs
class CDataExchange {
public:
    CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate) : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd) {}
    BOOL m_bSaveAndValidate;
    CWnd* m_pDlgWnd;
};

// Binds rControl to the dialog's control nIDC (once).
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);

class CDialog : public CWnd {
public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);

    // Runs the dialog modally from its template; returns the EndDialog result, or -1.
    virtual INT_PTR DoModal();
    // Creates the dialog modeless (tests drive it with their own message loop).
    BOOL Create(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    BOOL DestroyWindow();
    void EndDialog(int nResult);

    // Applies the template's initialisation data, then UpdateData(FALSE).
    virtual BOOL OnInitDialog();
    virtual void OnOK();      // UpdateData(TRUE), EndDialog(IDOK)
    virtual void OnCancel();  // EndDialog(IDCANCEL)
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

    LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    // The dialog procedure every framework dialog runs under.
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

protected:
    virtual void DoDataExchange(CDataExchange* pDX);
    UINT m_nIDHelp = 0;
    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;

    DECLARE_MESSAGE_MAP()
};

// ---------------------------------------------------------------- threads
typedef UINT (*AFX_THREADPROC)(LPVOID);

// A worker thread. With m_bAutoDelete (the default) the object deletes
// itself when the thread ends.
class CWinThread : public CCmdTarget {
public:
    CWinThread() = default;
    ~CWinThread() override = default;
    BOOL m_bAutoDelete = TRUE;
    // Read by worker threads (through AfxGetMainHwnd) while the window thread sets it.
    std::atomic<CWnd*> m_pMainWnd{nullptr};
    DWORD m_nThreadID = 0;
    virtual BOOL InitInstance() { return FALSE; }
    virtual int ExitInstance() { return 0; }
    virtual int Run() { return ExitInstance(); }

    AFX_THREADPROC m_pfnThreadProc = nullptr;
    LPVOID m_pThreadParams = nullptr;
};

// Starts pfnThreadProc(pParam) on a new thread; returns its thread object, or
// null when the thread cannot be started. Only running-at-once starts are
// supported (dwCreateFlags 0).
CWinThread* AfxBeginThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam, int nPriority = THREAD_PRIORITY_NORMAL,
                           UINT nStackSize = 0, DWORD dwCreateFlags = 0,
                           LPSECURITY_ATTRIBUTES lpSecurityAttrs = nullptr);
// Ends the calling framework thread with nExitCode, deleting its thread object. Does not return.
[[noreturn]] void AfxEndThread(UINT nExitCode, BOOL bDelete = TRUE);
// Worker threads started by AfxBeginThread that have not yet ended.
int AfxRunningThreadCount();

// ---------------------------------------------------------------- application
class CWinApp : public CWinThread {
public:
    // With no name, the application is named after the executable's file name
    // without its extension.
    explicit CWinApp(LPCWSTR lpszAppName = nullptr);
    ~CWinApp() override;

    BOOL InitInstance() override;
    int ExitInstance() override;
    int Run() override;
    void SetRegistryKey(LPCWSTR lpszRegistryKey);
    HICON LoadIcon(UINT nIDResource) const;
    // The application message box: caption m_pszAppName, owner the main window.
    virtual int DoMessageBox(LPCWSTR lpszPrompt, UINT nType, UINT nIDPrompt);
    void OnHelp();

    LPCWSTR m_pszAppName = nullptr;
    LPCWSTR m_pszRegistryKey = nullptr;
    HINSTANCE m_hInstance = nullptr;

    // Storage behind m_pszAppName and m_pszRegistryKey.
    CString m_appName;
    CString m_registryKey;

    DECLARE_MESSAGE_MAP()
};

CWinApp* AfxGetApp();
CWnd* AfxGetMainWnd();
HINSTANCE AfxGetInstanceHandle();
// The main window's handle, read safely from any thread (null when none).
HWND AfxGetMainHwnd();
// Sets the main window (the application's m_pMainWnd) and publishes its handle to other threads.
void AfxSetMainWnd(CWnd* pWnd);
void AfxEnableControlContainer();
int AfxMessageBox(LPCWSTR lpszText, UINT nType = MB_OK, UINT nIDHelp = 0);

// The framework's entry: InitInstance, then Run or ExitInstance. Returns the exit code.
int AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nCmdShow);
