// CVantrelApp: prepares the common controls and runs the main dialog.
#include "app/VantrelApp.h"

#include "app/VantrelDlg.h"

BEGIN_MESSAGE_MAP(CVantrelApp, CWinApp)
ON_COMMAND(ID_HELP, &CWinApp::OnHelp)
END_MESSAGE_MAP()

CVantrelApp::CVantrelApp() = default;

BOOL CVantrelApp::InitInstance() {
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_WIN95_CLASSES;
    InitCommonControlsEx(&controls);  // the dialog is shown regardless

    CWinApp::InitInstance();
    AfxEnableControlContainer();
    SetRegistryKey(L"Local AppWizard-Generated Applications");

    CVantrelDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();  // IDCANCEL after a confirmed "Quit?"; nothing else ends it
    m_pMainWnd = nullptr;

    // The dialog has ended: end the application instead of running a message loop.
    return FALSE;
}
