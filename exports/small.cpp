// The exports that work on the last-error slot and on returned strings.
#include <cstdlib>

#include "exports/base64.h"
#include "runtime/exportframe.h"

HVC_EXPORT const char* __cdecl HVC_GetLastHvcDmtError() { return exportframe::lastError(); }

HVC_EXPORT int __cdecl HVC_FreeString(const char* block) {
    return exportframe::boundary(-1, exportframe::OnSuccess::ClearSlot, [&] {
        // The caller may hold a password (HVC_getPassword): every block is
        // wiped before it goes back to the heap.
        exportframe::wipeBlock(const_cast<char*>(block));
        std::free(const_cast<char*>(block));
        return 0;
    });
}

// No boundary: leaves the slot as it is, so an earlier error survives. The
// block comes from malloc like a _strdup one, so HVC_FreeString releases it.
HVC_EXPORT const char* __cdecl HVC_Base64Decode(const char* text) { return base64DecodeBlock(text); }
