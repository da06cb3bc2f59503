// Message maps: the table walk from the most derived class to CCmdTarget.
#include "framework/afxwin.h"

const AFX_MSGMAP* CCmdTarget::GetThisMessageMap() {
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, nullptr}};
    static const AFX_MSGMAP map = {nullptr, entries};
    return &map;
}

const AFX_MSGMAP* CCmdTarget::GetMessageMap() const { return GetThisMessageMap(); }

BOOL CCmdTarget::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
    for (const AFX_MSGMAP* map = GetMessageMap(); map != nullptr;
         map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* e = map->lpEntries; e->nMessage != 0; ++e) {
            if (e->nMessage != message)
                continue;
            if (message == WM_COMMAND && (e->nID != LOWORD(wParam) || e->nCode != HIWORD(wParam)))
                continue;
            const LRESULT r = e->pfn(this, wParam, lParam);
            if (pResult)
                *pResult = r;
            return TRUE;
        }
    }
    return FALSE;
}
