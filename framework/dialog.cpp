// CDialog: the dialog created from portable template data, run by the
// system's dialog manager, with the message map dispatched from the dialog
// procedure.
#include <new>

#include "framework/afxwin.h"
#include "framework/dialog_template.h"

BEGIN_MESSAGE_MAP(CDialog, CWnd)
ON_COMMAND(IDOK, &CDialog::OnOK)
ON_COMMAND(IDCANCEL, &CDialog::OnCancel)
END_MESSAGE_MAP()

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd) : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {
    m_isDialog = true;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* dlg = reinterpret_cast<CDialog*>(lParam);
        SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
        dlg->m_hWnd = hWnd;
        try {
            return dlg->OnInitDialog();
        } catch (const CException& e) {
            e.ReportError();
        } catch (const std::bad_alloc&) {
            CMemoryException().ReportError();
        }
        return TRUE;
    }
    auto* dlg = reinterpret_cast<CDialog*>(GetWindowLongPtrW(hWnd, DWLP_USER));
    if (dlg == nullptr)
        return FALSE;
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hWnd, DWLP_USER, 0);
        dlg->m_hWnd = nullptr;
        return FALSE;
    }
    LRESULT result = 0;
    if (!dlg->RouteMessage(message, wParam, lParam, &result))
        return FALSE;
    switch (message) {
        // These return their answer from the dialog procedure itself.
        case WM_QUERYDRAGICON:
        case WM_INITDIALOG:
            return static_cast<INT_PTR>(result);
        default:
            SetWindowLongPtrW(hWnd, DWLP_MSGRESULT, result);
            return TRUE;
    }
}

INT_PTR CDialog::DoModal() {
    const DialogTemplateData* data = FindDialogTemplate(m_nIDTemplate);
    if (data == nullptr)
        return -1;
    const std::vector<WORD> bytes = framework::BuildDialogTemplate(*data);
    HWND parent = m_pParentWnd ? m_pParentWnd->m_hWnd.load() : nullptr;
    return DialogBoxIndirectParamW(AfxGetInstanceHandle(), reinterpret_cast<LPCDLGTEMPLATEW>(bytes.data()), parent,
                                   &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
}

BOOL CDialog::Create(UINT nIDTemplate, CWnd* pParentWnd) {
    m_nIDTemplate = nIDTemplate;
    m_pParentWnd = pParentWnd;
    const DialogTemplateData* data = FindDialogTemplate(m_nIDTemplate);
    if (data == nullptr)
        return FALSE;
    const std::vector<WORD> bytes = framework::BuildDialogTemplate(*data);
    HWND parent = m_pParentWnd ? m_pParentWnd->m_hWnd.load() : nullptr;
    HWND h = CreateDialogIndirectParamW(AfxGetInstanceHandle(), reinterpret_cast<LPCDLGTEMPLATEW>(bytes.data()), parent,
                                        &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
    return h != nullptr;
}

BOOL CDialog::DestroyWindow() {
    HWND h = m_hWnd;
    return h ? ::DestroyWindow(h) : FALSE;
}

void CDialog::EndDialog(int nResult) { ::EndDialog(m_hWnd, nResult); }

BOOL CDialog::OnInitDialog() {
    if (const DialogTemplateData* data = FindDialogTemplate(m_nIDTemplate))
        framework::ApplyDialogInit(m_hWnd, *data);
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK() {
    if (!UpdateData(TRUE))
        return;
    EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

BOOL CDialog::UpdateData(BOOL bSaveAndValidate) {
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

LRESULT CDialog::DefWindowProc(UINT, WPARAM, LPARAM) {
    // The dialog manager gives a dialog its default processing when the
    // dialog procedure returns FALSE.
    return 0;
}

void CDialog::DoDataExchange(CDataExchange*) {}

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl) {
    if (rControl.m_hWnd != nullptr)
        return;  // bound once, on the first exchange
    rControl.Attach(::GetDlgItem(pDX->m_pDlgWnd->m_hWnd, nIDC));
}
