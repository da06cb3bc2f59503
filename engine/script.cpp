// Loading upgrader.asc whole into memory.
//
// The file is opened twice, read-only and without sharing: once for its
// length, once to read it. A file that another process holds open cannot be
// opened and counts as length 0, so the run does not start on a script that
// is still being written. Not every writer is kept out that way: between the
// two opens nothing is held, and where sharing is only advisory (flock on
// Linux) a writer that asks for no lock, as cp or an editor, is not stopped
// at all. So the file must also be the same file, of the same size and last
// written at the same time, from the first open to the end of the read; a
// script cut or replaced under the loader could otherwise be played, and cut
// at a record boundary end in "loader Success!".
#include "engine/script.h"

#include <cstdint>
#include <limits>
#include <memory>
#include <new>

#include "common/state.h"
#include "framework/afxwin.h"

namespace {

std::wstring g_scriptName = L"upgrader.asc";

// Which file an open handle reaches and the state of its content, as far as
// the system tells it without reading: volume, file index, size, last write.
struct FileIdentity {
    DWORD volume = 0;
    ULONGLONG index = 0;
    ULONGLONG size = 0;
    ULONGLONG written = 0;
    bool operator==(const FileIdentity&) const = default;
};

// False when the system cannot say; the caller then treats the file as
// changed.
bool IdentifyFile(const CFile& file, FileIdentity& out) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file.m_hFile, &info))
        return false;
    out.volume = info.dwVolumeSerialNumber;
    out.index = (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    out.size = (static_cast<ULONGLONG>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    out.written =
        (static_cast<ULONGLONG>(info.ftLastWriteTime.dwHighDateTime) << 32) | info.ftLastWriteTime.dwLowDateTime;
    return true;
}

constexpr UINT kOpenFlags = CFile::modeRead | CFile::shareExclusive | CFile::typeBinary;

// The file's length and identity, or length 0 when it cannot be opened or
// identified. Errors of the file class after a successful open are raised as
// CFileException.
ULONGLONG ScriptFileLength(FileIdentity& identity) {
    CFile file;
    if (!file.Open(g_scriptName.c_str(), kOpenFlags))
        return 0;
    const ULONGLONG length = file.GetLength();
    const bool known = IdentifyFile(file, identity);
    file.Close();
    return known ? length : 0;
}

}  // namespace

void SetUpgradeScriptName(const wchar_t* name) { g_scriptName = name ? name : L""; }

const std::wstring& UpgradeScriptName() { return g_scriptName; }

bool LoadUpgradeScript() {
    FreeUpgradeScript();
    UpgradeScript& script = State().script;

    FileIdentity first;
    const ULONGLONG length = ScriptFileLength(first);
    // The record bytes are counted in 32 bits; a longer file cannot be played.
    script.total =
        length > static_cast<ULONGLONG>(std::numeric_limits<int32_t>::max()) ? 0 : static_cast<int32_t>(length);
    if (script.total == 0)
        return false;
    // A file shorter than its header would leave a negative record count and
    // a cursor beyond the data; it is treated like an unreadable file.
    if (script.total < kScriptHeaderBytes)
        return false;

    const auto expected = static_cast<UINT>(script.total);
    std::unique_ptr<BYTE[]> buffer;
    try {
        buffer = std::make_unique<BYTE[]>(expected);
    } catch (const std::bad_alloc&) {
        // The framework reports an exhausted heap as its own exception.
        throw CMemoryException();
    }

    UINT count = 0;
    bool unchanged = false;
    {
        CFile file;
        if (file.Open(g_scriptName.c_str(), kOpenFlags)) {
            const ULONGLONG now = file.GetLength();
            count = now < expected ? static_cast<UINT>(now) : expected;
            file.SeekToBegin();
            const UINT read = file.Read(buffer.get(), count);
            // Whatever changed the file, its size, its last write or the file
            // under the name, shows here; a read cut short by a writer shows
            // in its count even within one tick of the file clock.
            FileIdentity last;
            unchanged = IdentifyFile(file, last) && last == first && now == expected && read == count;
            file.Close();
        }
    }
    // Shrank, grew or was rewritten since the first open, or vanished.
    if (count != expected || !unchanged)
        return false;

    script.buffer = std::move(buffer);
    script.cursor = script.buffer.get() + kScriptHeaderBytes;
    script.total = static_cast<int32_t>(expected) - kScriptHeaderBytes;
    script.remaining = script.total;
    return true;
}

void FreeUpgradeScript() {
    UpgradeScript& script = State().script;
    script.buffer.reset();
    script.cursor = nullptr;
}
