// CVantrelDlg: construction, control binding, initialisation, painting and
// the message map. The operator commands are in commands.cpp.
#include "app/VantrelDlg.h"

#include "common/messages.h"
#include "device/monitor.h"

BEGIN_MESSAGE_MAP(CVantrelDlg, CDialog)
ON_WM_SYSCOMMAND()
ON_WM_PAINT()
ON_WM_QUERYDRAGICON()
ON_MESSAGE(WM_DEVICECHANGE, &CVantrelDlg::OnDeviceChange)
ON_MESSAGE(WM_DEVARRIVAL, &CVantrelDlg::OnDevArrival)
ON_MESSAGE(WM_DEVREMOVED, &CVantrelDlg::OnDevRemoved)
ON_MESSAGE(WM_DEBUGREAD, &CVantrelDlg::OnDebugRead)
ON_BN_CLICKED(IDC_BTN_LOADER, &CVantrelDlg::OnBtnLoader)
ON_BN_CLICKED(IDC_BTN_QUIT, &CVantrelDlg::OnBtnQuit)
ON_CBN_DROPDOWN(IDC_PORT, &CVantrelDlg::OnDropdownPort)
ON_WM_TIMER()
END_MESSAGE_MAP()

CVantrelDlg::CVantrelDlg() : CDialog(IDD_MAIN_DIALOG, nullptr) {
    CWinApp* app = AfxGetApp();
    m_hIcon = app ? app->LoadIcon(IDR_MAINFRAME) : LoadIconW(AfxGetInstanceHandle(), MAKEINTRESOURCEW(IDR_MAINFRAME));
}

void CVantrelDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_CONNECT_STATUS, m_ConnectStatus);
    DDX_Control(pDX, IDC_PROGRESS_STATUS, m_ProgressStatus);
    DDX_Control(pDX, IDC_BTN_LOADER, m_BtnLoader);
    DDX_Control(pDX, IDC_BTN_QUIT, m_BtnQuit);
    DDX_Control(pDX, IDC_PROGRESS, m_Progress);
    DDX_Control(pDX, IDC_PORT, m_Port);
    DDX_Control(pDX, IDC_PORT_LABEL, m_PortLabel);
    DDX_Control(pDX, IDC_BAUD, m_Baud);
    DDX_Control(pDX, IDC_BAUD_LABEL, m_BaudLabel);
}

BOOL CVantrelDlg::OnInitDialog() {
    // Adds the line speeds from the template's initialisation data and binds
    // the wrappers before AppInit uses them.
    CDialog::OnInitDialog();

    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    AppInit();

    // The dialog manager puts the focus on the first tab stop, the start button.
    return TRUE;
}

void CVantrelDlg::OnSysCommand(UINT nID, LPARAM lParam) { CDialog::OnSysCommand(nID, lParam); }

void CVantrelDlg::OnPaint() {
    if (!IsIconic()) {
        CDialog::OnPaint();
        return;
    }
    CPaintDC dc(this);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
    const int cxIcon = GetSystemMetrics(SM_CXICON);
    const int cyIcon = GetSystemMetrics(SM_CYICON);
    RECT rect;
    GetClientRect(&rect);
    const int x = (rect.right - rect.left - cxIcon + 1) / 2;
    const int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
    dc.DrawIcon(x, y, m_hIcon);
}

HCURSOR CVantrelDlg::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }

// Enter and Esc reach the dialog as OK and Cancel: neither may end it. Only
// the quit command does, through CDialog::OnCancel.
void CVantrelDlg::OnOK() {}
void CVantrelDlg::OnCancel() {}

CVantrelDlg& MainDialog() { return *static_cast<CVantrelDlg*>(AfxGetMainWnd()); }
