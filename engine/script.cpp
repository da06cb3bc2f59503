// Loading upgrader.asc whole into memory.
//
// The file is opened twice, read-only and without sharing: once for its
// length, once to read it. A file that another process holds open cannot be
// opened and counts as length 0, so the run does not start on a script that
// is still being written.
#include "engine/script.h"

#include <cstdint>
#include <limits>
#include <memory>
#include <new>

#include "common/state.h"
#include "framework/afxwin.h"

namespace {

std::wstring g_scriptName = L"upgrader.asc";

constexpr UINT kOpenFlags = CFile::modeRead | CFile::shareExclusive | CFile::typeBinary;

// The file's length, or 0 when it cannot be opened. Errors of the file class
// after a successful open are raised as CFileException.
ULONGLONG ScriptFileLength() {
    CFile file;
    if (!file.Open(g_scriptName.c_str(), kOpenFlags)) return 0;
    const ULONGLONG length = file.GetLength();
    file.Close();
    return length;
}

}  // namespace

void SetUpgradeScriptName(const wchar_t* name) { g_scriptName = name ? name : L""; }

const std::wstring& UpgradeScriptName() { return g_scriptName; }

bool LoadUpgradeScript() {
    FreeUpgradeScript();
    UpgradeScript& script = State().script;

    const ULONGLONG length = ScriptFileLength();
    // The record bytes are counted in 32 bits; a longer file cannot be played.
    script.total = length > static_cast<ULONGLONG>(std::numeric_limits<int32_t>::max())
                       ? 0
                       : static_cast<int32_t>(length);
    if (script.total == 0) return false;
    // A file shorter than its header would leave a negative record count and
    // a cursor beyond the data; it is treated like an unreadable file.
    if (script.total < kScriptHeaderBytes) return false;

    const auto expected = static_cast<UINT>(script.total);
    std::unique_ptr<BYTE[]> buffer;
    try {
        buffer = std::make_unique<BYTE[]>(expected);
    } catch (const std::bad_alloc&) {
        // The framework reports an exhausted heap as its own exception.
        throw CMemoryException();
    }

    UINT count = 0;
    {
        CFile file;
        if (file.Open(g_scriptName.c_str(), kOpenFlags)) {
            const ULONGLONG now = file.GetLength();
            count = now < expected ? static_cast<UINT>(now) : expected;
            file.SeekToBegin();
            // The count that matters is the length the file claims, not what
            // the read reports: a short read leaves zero bytes in the tail,
            // exactly as the file class would have handed them over.
            (void)file.Read(buffer.get(), count);
            file.Close();
        }
    }
    if (count != expected) return false;  // shrank between the opens, or vanished

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
