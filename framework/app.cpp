// CWinApp, the application globals and the application message box.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "framework/afxwin.h"

namespace {

std::atomic<CWinApp*> g_app{nullptr};
// The main window when no application object sets one (the command-line
// runner and tests).
std::atomic<CWnd*> g_mainWnd{nullptr};

// The executable's file name without its directory and extension.
std::wstring ModuleBaseName() {
    wchar_t path[MAX_PATH * 4] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    std::wstring name(path, n < std::size(path) ? n : 0);
    const size_t slash = name.find_last_of(L"\\/");
    if (slash != std::wstring::npos)
        name.erase(0, slash + 1);
    const size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos && dot > 0)
        name.erase(dot);
    return name;
}

// The framework's default icon for a box whose type names none.
UINT WithDefaultIcon(UINT nType) {
    if ((nType & MB_ICONMASK) != 0)
        return nType;
    switch (nType & MB_TYPEMASK) {
        case MB_OK:
        case MB_OKCANCEL:
            return nType | MB_ICONEXCLAMATION;
        case MB_YESNO:
        case MB_YESNOCANCEL:
            return nType | MB_ICONQUESTION;
        default:
            return nType;
    }
}

}  // namespace

BEGIN_MESSAGE_MAP(CWinApp, CWinThread)
END_MESSAGE_MAP()

CWinApp::CWinApp(LPCWSTR lpszAppName) {
    if (lpszAppName) {
        m_appName = lpszAppName;
        m_pszAppName = m_appName.c_str();
    }
    g_app = this;
}

CWinApp::~CWinApp() {
    CWinApp* self = this;
    g_app.compare_exchange_strong(self, nullptr);
}

BOOL CWinApp::InitInstance() { return TRUE; }

int CWinApp::ExitInstance() { return 0; }

int CWinApp::Run() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return ExitInstance();
}

void CWinApp::SetRegistryKey(LPCWSTR lpszRegistryKey) {
    // Only the name is kept: the tool reads and writes no settings.
    m_registryKey = lpszRegistryKey ? lpszRegistryKey : L"";
    m_pszRegistryKey = m_registryKey.c_str();
}

HICON CWinApp::LoadIcon(UINT nIDResource) const { return LoadIconW(m_hInstance, MAKEINTRESOURCEW(nIDResource)); }

int CWinApp::DoMessageBox(LPCWSTR lpszPrompt, UINT nType, UINT /*nIDPrompt*/) {
    if (m_pszAppName == nullptr) {
        m_appName = ModuleBaseName();
        m_pszAppName = m_appName.c_str();
    }
    return MessageBoxW(AfxGetMainHwnd(), lpszPrompt, m_pszAppName, WithDefaultIcon(nType));
}

void CWinApp::OnHelp() {
    // The tool ships no help file: the help command has nothing to open.
}

CWinApp* AfxGetApp() { return g_app.load(); }

CWnd* AfxGetMainWnd() {
    if (CWinApp* app = g_app.load()) {
        if (CWnd* wnd = app->m_pMainWnd.load())
            return wnd;
    }
    return g_mainWnd.load();
}

HWND AfxGetMainHwnd() {
    CWnd* wnd = AfxGetMainWnd();
    return wnd ? wnd->m_hWnd.load() : nullptr;
}

void AfxSetMainWnd(CWnd* pWnd) {
    if (CWinApp* app = g_app.load())
        app->m_pMainWnd = pWnd;
    g_mainWnd = pWnd;
}

HINSTANCE AfxGetInstanceHandle() {
    if (CWinApp* app = g_app.load(); app && app->m_hInstance)
        return app->m_hInstance;
    return reinterpret_cast<HINSTANCE>(GetModuleHandleW(nullptr));
}

void AfxEnableControlContainer() {
    // The tool hosts no ActiveX controls.
}

int AfxMessageBox(LPCWSTR lpszText, UINT nType, UINT nIDHelp) {
    if (CWinApp* app = g_app.load())
        return app->DoMessageBox(lpszText, nType, nIDHelp);
    // No application object (the command-line runner's tests): name the box
    // after the executable, as the application would.
    const std::wstring caption = ModuleBaseName();
    return MessageBoxW(AfxGetMainHwnd(), lpszText, caption.c_str(), WithDefaultIcon(nType));
}

int AfxWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int) {
    CWinApp* app = g_app.load();
    if (app == nullptr)
        return -1;
    app->m_hInstance = hInstance;
    if (app->m_pszAppName == nullptr) {
        app->m_appName = ModuleBaseName();
        app->m_pszAppName = app->m_appName.c_str();
    }
    const int code = app->InitInstance() ? app->Run() : app->ExitInstance();
    // Workers end themselves when their flags tell them to; give them a
    // moment so the process does not end under a thread that is leaving.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (AfxRunningThreadCount() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return code;
}
