// Helpers shared by the test suites.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "runtime/exceptions.h"
#include "runtime/owners.h"

namespace testutil {

// The system's own message for a code, line end removed: Wine's texts
// differ from Windows', so tests never spell them out.
inline std::wstring systemText(DWORD code) {
    UniqueLocalPtr<wchar_t> buffer;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0x0400, reinterpret_cast<wchar_t*>(buffer.put()), 0, nullptr);
    std::wstring text = length && buffer ? std::wstring(buffer.get(), length) : std::wstring();
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n')) text.pop_back();
    return text;
}

inline std::string narrow(const std::wstring& text) {
    int length = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string result(length > 0 ? length - 1 : 0, '\0');
    if (length > 1) WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &result[0], length, nullptr, nullptr);
    return result;
}

// The process's open handles. Wine's GetProcessHandleCount always gives 0;
// the system's handle table (NtQuerySystemInformation, class 16) is
// complete there too.
inline DWORD openHandleCount() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count > 0) return count;
    struct Entry {
        ULONG process;
        UCHAR type, flags;
        USHORT handle;
        void* object;
        ACCESS_MASK access;
    };
    using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return 0;
    const ULONG systemHandleInformation = 16;
    const LONG infoLengthMismatch = static_cast<LONG>(0xC0000004);
    std::vector<ULONG_PTR> buffer(1 << 16);  // pointer-aligned
    LONG status;
    while ((status = query(systemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size() * sizeof(ULONG_PTR)),
                           nullptr)) == infoLengthMismatch)
        buffer.resize(buffer.size() * 2);
    if (status != 0) return 0;
    const ULONG entries = *reinterpret_cast<const ULONG*>(buffer.data());
    const auto* entry = reinterpret_cast<const Entry*>(buffer.data() + 1);
    for (ULONG i = 0; i < entries; ++i)
        if (entry[i].process == GetCurrentProcessId()) ++count;
    return count;
}

// What body throws as a vexception (message and locations); a vexception
// "(nothing thrown)" without locations when it returns.
inline vexception failureOf(const std::function<void()>& body) {
    try {
        body();
    } catch (const vexception& e) {
        return e;
    }
    return vexception(L"(nothing thrown)");
}

// An export of hvcdmtutils.dll, bound by its decorated name as a script host
// binds it; the DLL is loaded once per process and stays.
template <class Function>
Function exportOf(const char* name) {
    static HMODULE module = LoadLibraryW(L"hvcdmtutils.dll");
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace testutil
