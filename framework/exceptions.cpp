// The framework's exceptions and how they are told to the operator.
#include <cwchar>

#include "framework/afxwin.h"

namespace {

void CopyText(LPWSTR out, UINT max, const std::wstring& text) {
    if (!out || max == 0)
        return;
    std::wcsncpy(out, text.c_str(), max - 1);
    out[max - 1] = L'\0';
}

}  // namespace

BOOL CException::GetErrorMessage(LPWSTR lpszError, UINT nMaxError, PUINT pnHelpContext) const {
    if (pnHelpContext)
        *pnHelpContext = 0;
    CopyText(lpszError, nMaxError, L"An unsupported operation was attempted.");
    return TRUE;
}

int CException::ReportError(UINT nType, UINT /*nMessageID*/) const {
    wchar_t text[512];
    GetErrorMessage(text, 512);
    return AfxMessageBox(text, nType, 0);
}

BOOL CMemoryException::GetErrorMessage(LPWSTR lpszError, UINT nMaxError, PUINT pnHelpContext) const {
    if (pnHelpContext)
        *pnHelpContext = 0;
    CopyText(lpszError, nMaxError, L"Out of memory.");
    return TRUE;
}

CFileException::CFileException(int cause, LONG lOsError, LPCWSTR lpszFileName)
    : m_cause(cause), m_lOsError(lOsError), m_strFileName(lpszFileName ? lpszFileName : L"") {}

int CFileException::OsErrorToException(LONG lOsError) {
    switch (lOsError) {
        case NO_ERROR:
            return none;
        case ERROR_FILE_NOT_FOUND:
            return fileNotFound;
        case ERROR_PATH_NOT_FOUND:
            return badPath;
        case ERROR_TOO_MANY_OPEN_FILES:
            return tooManyOpenFiles;
        case ERROR_ACCESS_DENIED:
            return accessDenied;
        case ERROR_INVALID_HANDLE:
            return fileNotFound;
        case ERROR_SHARING_VIOLATION:
            return sharingViolation;
        case ERROR_HANDLE_EOF:
            return endOfFile;
        default:
            return genericException;
    }
}

void CFileException::ThrowOsError(LONG lOsError, LPCWSTR lpszFileName) {
    if (lOsError != NO_ERROR)
        throw CFileException(OsErrorToException(lOsError), lOsError, lpszFileName);
}

BOOL CFileException::GetErrorMessage(LPWSTR lpszError, UINT nMaxError, PUINT pnHelpContext) const {
    if (pnHelpContext)
        *pnHelpContext = 0;
    const std::wstring name = m_strFileName.empty() ? L"an unnamed file" : m_strFileName;
    std::wstring why;
    switch (m_cause) {
        case none:
            why = L"no error";
            break;
        case fileNotFound:
            why = L"it was not found";
            break;
        case badPath:
            why = L"its path is invalid";
            break;
        case tooManyOpenFiles:
            why = L"too many files are open";
            break;
        case accessDenied:
            why = L"access was denied";
            break;
        case sharingViolation:
            why = L"another program is using it";
            break;
        case badSeek:
            why = L"a seek failed";
            break;
        case hardIO:
            why = L"a hardware error occurred";
            break;
        case endOfFile:
            why = L"the end of the file was reached";
            break;
        default:
            why = L"an unexpected error occurred";
            break;
    }
    CopyText(lpszError, nMaxError, L"An error occurred with " + name + L": " + why + L".");
    return TRUE;
}
