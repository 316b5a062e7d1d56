// Helpers shared by the test suites.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

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

// The process's open handles. GetProcessHandleCount answers 0 under Wine,
// so count the handle values that GetHandleInformation accepts.
inline DWORD openHandleCount() {
    DWORD count = 0, flags = 0;
    for (ULONG_PTR value = 4; value < 0x4000; value += 4)
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
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
