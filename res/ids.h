// Resource and control ids of the tool.
#pragma once

#define IDR_MAINFRAME 128
#define IDD_MAIN_DIALOG 102

#define IDC_STATIC (-1)
#define IDC_BTN_LOADER 1000
#define IDC_BTN_QUIT 1004
#define IDC_PROGRESS 1005
#define IDC_CONNECT_STATUS 1012
#define IDC_PROGRESS_STATUS 1013
#define IDC_PORT 1014
#define IDC_PORT_LABEL 1015
#define IDC_BAUD 1016
#define IDC_BAUD_LABEL 1017

#define ID_HELP 0xE146
