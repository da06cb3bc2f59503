// CVantrelApp: the application object; shows the main dialog modally.
#pragma once

#include "framework/afxwin.h"

class CVantrelApp : public CWinApp {
public:
    CVantrelApp();
    BOOL InitInstance() override;

    DECLARE_MESSAGE_MAP()
};
