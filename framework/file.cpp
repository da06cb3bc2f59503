// CFile over CreateFileW: the script loader's read-only, share-deny-all file.
#include "framework/afxwin.h"

CFile::CFile(LPCWSTR lpszFileName, UINT nOpenFlags) {
    CFileException error;
    if (!Open(lpszFileName, nOpenFlags, &error))
        throw error;
}

CFile::~CFile() { Abort(); }

BOOL CFile::Open(LPCWSTR lpszFileName, UINT nOpenFlags, CFileException* pError) {
    Abort();
    m_strFileName = lpszFileName ? lpszFileName : L"";

    DWORD access = 0;
    switch (nOpenFlags & 3) {
        case modeRead:
            access = GENERIC_READ;
            break;
        case modeWrite:
            access = GENERIC_WRITE;
            break;
        case modeReadWrite:
            access = GENERIC_READ | GENERIC_WRITE;
            break;
        default:
            access = GENERIC_READ;
            break;
    }
    DWORD share = 0;
    switch (nOpenFlags & 0x70) {
        case shareDenyWrite:
            share = FILE_SHARE_READ;
            break;
        case shareDenyRead:
            share = FILE_SHARE_WRITE;
            break;
        case shareDenyNone:
            share = FILE_SHARE_READ | FILE_SHARE_WRITE;
            break;
        default:
            share = 0;
            break;  // shareExclusive and shareCompat: nobody else may open it
    }
    const DWORD creation = (nOpenFlags & modeCreate) ? CREATE_ALWAYS : OPEN_EXISTING;

    HANDLE h = CreateFileW(m_strFileName.c_str(), access, share, nullptr, creation, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD os = GetLastError();
        if (pError)
            *pError = CFileException(CFileException::OsErrorToException(static_cast<LONG>(os)), static_cast<LONG>(os),
                                     m_strFileName.c_str());
        return FALSE;
    }
    m_hFile = h;
    return TRUE;
}

ULONGLONG CFile::GetLength() const {
    DWORD high = 0;
    const DWORD low = GetFileSize(m_hFile, &high);
    if (low == INVALID_FILE_SIZE) {
        const DWORD os = GetLastError();
        if (os != NO_ERROR)
            CFileException::ThrowOsError(static_cast<LONG>(os), m_strFileName.c_str());
    }
    return (static_cast<ULONGLONG>(high) << 32) | low;
}

ULONGLONG CFile::Seek(LONGLONG lOff, UINT nFrom) {
    LONG high = static_cast<LONG>(lOff >> 32);
    SetLastError(NO_ERROR);
    const DWORD low = SetFilePointer(m_hFile, static_cast<LONG>(lOff & 0xFFFFFFFF), &high, nFrom);
    if (low == INVALID_SET_FILE_POINTER) {
        const DWORD os = GetLastError();
        if (os != NO_ERROR)
            throw CFileException(CFileException::badSeek, static_cast<LONG>(os), m_strFileName.c_str());
    }
    return (static_cast<ULONGLONG>(static_cast<DWORD>(high)) << 32) | low;
}

UINT CFile::Read(void* lpBuf, UINT nCount) {
    if (nCount == 0)
        return 0;
    DWORD read = 0;
    if (!ReadFile(m_hFile, lpBuf, nCount, &read, nullptr))
        CFileException::ThrowOsError(static_cast<LONG>(GetLastError()), m_strFileName.c_str());
    return read;
}

void CFile::Close() {
    if (m_hFile == INVALID_HANDLE_VALUE)
        return;
    HANDLE h = m_hFile;
    m_hFile = INVALID_HANDLE_VALUE;
    if (!CloseHandle(h))
        CFileException::ThrowOsError(static_cast<LONG>(GetLastError()), m_strFileName.c_str());
}

void CFile::Abort() {
    if (m_hFile == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(m_hFile);  // the file is being abandoned: a failing close has nobody to tell
    m_hFile = INVALID_HANDLE_VALUE;
}
