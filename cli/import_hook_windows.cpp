// ReplaceImport: walks the executable's import directory (PE format) to the
// import address table entry of one function and rewrites it.
#include <windows.h>

#include <cstring>

#include "cli/import_hook.h"

namespace cli {
namespace {

bool SameName(const char* a, const char* b) { return lstrcmpiA(a, b) == 0; }

// Writes one table entry; the table lies in a read-only section once loaded.
bool WriteEntry(void** entry, void* value) {
    DWORD old = 0;
    if (!VirtualProtect(entry, sizeof *entry, PAGE_READWRITE, &old))
        return false;
    *entry = value;
    DWORD ignored = 0;
    VirtualProtect(entry, sizeof *entry, old,
                   &ignored);  // the entry is written; a failed re-protect only leaves it writable
    FlushInstructionCache(GetCurrentProcess(), entry, sizeof *entry);
    return true;
}

}  // namespace

void* ReplaceImport(const char* dll, const char* function, void* replacement) {
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    if (base == nullptr)
        return nullptr;
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE)
        return nullptr;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE)
        return nullptr;
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0 || dir.Size == 0)
        return nullptr;

    void* previous = nullptr;
    for (auto* desc = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); desc->Name != 0;
         ++desc) {
        if (!SameName(reinterpret_cast<const char*>(base + desc->Name), dll))
            continue;
        // The names are in the lookup table; the bound addresses in the
        // address table, entry for entry. Without a lookup table (some
        // linkers) the address table held the names before binding, and
        // they are gone: such an import cannot be found by name.
        if (desc->OriginalFirstThunk == 0)
            continue;
        const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + desc->OriginalFirstThunk);
        auto* addresses = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++addresses) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0)
                continue;
            void** entry = reinterpret_cast<void**>(&addresses->u1.Function);
            void* was = *entry;
            if (!WriteEntry(entry, replacement))
                return nullptr;
            if (previous == nullptr)
                previous = was;
        }
    }
    return previous;
}

}  // namespace cli
