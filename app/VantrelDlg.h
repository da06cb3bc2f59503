// CVantrelDlg: the tool's one window, a modal dialog on IDD_MAIN_DIALOG.
//
// The handlers' bodies live with the subsystem they serve: OnDebugRead in
// serial/, OnDeviceChange, OnDevArrival, OnDevRemoved and OnDropdownPort in
// device/, OnTimer, OnBtnLoader and OnBtnQuit in app/commands.cpp.
#pragma once

#include "framework/afxwin.h"
#include "res/ids.h"

class CVantrelDlg : public CDialog {
public:
    CVantrelDlg();

    enum { IDD = IDD_MAIN_DIALOG };

    HICON m_hIcon;
    CStatic m_ConnectStatus;
    CStatic m_ProgressStatus;
    CButton m_BtnLoader;
    CButton m_BtnQuit;
    CProgressCtrl m_Progress;
    CComboBox m_Port;
    CStatic m_PortLabel;
    CComboBox m_Baud;
    CStatic m_BaudLabel;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;

public:
    void OnSysCommand(UINT nID, LPARAM lParam);
    void OnPaint();
    HCURSOR OnQueryDragIcon();
    LRESULT OnDeviceChange(WPARAM wParam, LPARAM lParam);
    LRESULT OnDevArrival(WPARAM wParam, LPARAM lParam);
    LRESULT OnDevRemoved(WPARAM wParam, LPARAM lParam);
    LRESULT OnDebugRead(WPARAM wParam, LPARAM lParam);
    void OnBtnLoader();
    void OnBtnQuit();
    void OnDropdownPort();
    void OnTimer(UINT_PTR nIDEvent);

    DECLARE_MESSAGE_MAP()
};

// The main dialog, reached through the application's main-window pointer.
// Only valid while the dialog exists; window thread only.
CVantrelDlg& MainDialog();
