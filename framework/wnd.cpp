// CWnd and the control wrappers: thin calls on the window handle, and the
// routing of a message to its handler.
#include <new>
#include <vector>

#include "framework/afxwin.h"

bool CWnd::RouteMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
    // Handlers may run nested loops (message boxes), which route messages
    // again: keep the outer message for the outer handler's Default().
    const CurrentMessage savedMsg = m_currentMsg;
    const bool savedDefault = m_defaultRequested;
    m_currentMsg = {message, wParam, lParam};
    m_defaultRequested = false;

    LRESULT result = 0;
    bool handled = false;
    try {
        handled = OnWndMsg(message, wParam, lParam, &result);
        if (!handled && message == WM_COMMAND) {
            if (CWinApp* app = AfxGetApp())
                handled = app->OnWndMsg(message, wParam, lParam, &result);
        }
    } catch (const CException& e) {
        // The framework reports its exceptions and the window lives on.
        e.ReportError();
        handled = true;
        result = 0;
    } catch (const std::bad_alloc&) {
        CMemoryException().ReportError();
        handled = true;
        result = 0;
    }
    if (m_defaultRequested)
        handled = false;

    m_currentMsg = savedMsg;
    m_defaultRequested = savedDefault;
    if (pResult)
        *pResult = result;
    return handled;
}

LRESULT CWnd::Default() {
    if (m_isDialog) {
        m_defaultRequested = true;
        return 0;
    }
    return ::DefWindowProcW(m_hWnd, m_currentMsg.message, m_currentMsg.wParam, m_currentMsg.lParam);
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (RouteMessage(message, wParam, lParam, &result))
        return result;
    return DefWindowProc(message, wParam, lParam);
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    return ::DefWindowProcW(m_hWnd, message, wParam, lParam);
}

void CWnd::GetWindowText(CString& rString) const {
    const int length = ::GetWindowTextLengthW(m_hWnd);
    std::vector<wchar_t> text(static_cast<size_t>(length > 0 ? length : 0) + 1, L'\0');
    const int got = ::GetWindowTextW(m_hWnd, text.data(), static_cast<int>(text.size()));
    rString.assign(text.data(), got > 0 ? static_cast<size_t>(got) : 0);
}

void CWnd::OnTimer(UINT_PTR) { Default(); }
void CWnd::OnPaint() { Default(); }
void CWnd::OnSysCommand(UINT, LPARAM) { Default(); }
HCURSOR CWnd::OnQueryDragIcon() { return reinterpret_cast<HCURSOR>(Default()); }

void CProgressCtrl::GetRange(int& nLower, int& nUpper) const {
    PBRANGE range{0, 0};
    SendMessage(PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&range));
    nLower = range.iLow;
    nUpper = range.iHigh;
}

void CComboBox::GetLBText(int nIndex, CString& rString) const {
    const LRESULT length = SendMessage(CB_GETLBTEXTLEN, static_cast<WPARAM>(nIndex), 0);
    if (length == CB_ERR) {
        rString.clear();
        return;
    }
    std::vector<wchar_t> text(static_cast<size_t>(length) + 1, L'\0');
    const LRESULT got = SendMessage(CB_GETLBTEXT, static_cast<WPARAM>(nIndex), reinterpret_cast<LPARAM>(text.data()));
    rString.assign(text.data(), got > 0 ? static_cast<size_t>(got) : 0);
}

CPaintDC::CPaintDC(CWnd* pWnd) : m_hWnd(pWnd->m_hWnd) { m_hDC = ::BeginPaint(m_hWnd, &m_ps); }
CPaintDC::~CPaintDC() { ::EndPaint(m_hWnd, &m_ps); }
