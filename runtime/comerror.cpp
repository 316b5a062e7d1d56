#include "runtime/comerror.h"

#include <oleauto.h>

#include <cstdio>

ComError ComError::fromErrorInfo(HRESULT hr) {
    std::wstring description;
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info) {
        BSTR text = nullptr;
        if (SUCCEEDED(info->GetDescription(&text)) && text) {
            description.assign(text, SysStringLen(text));
            SysFreeString(text);
        }
        info->Release();
    }
    return ComError(hr, description);
}

std::wstring ComError::errorMessage() const {
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, static_cast<DWORD>(hr_), 0x0400, reinterpret_cast<wchar_t*>(&buffer), 0,
                                  nullptr);
    if (length && buffer) {
        std::wstring text(buffer, length);
        LocalFree(buffer);
        if (text.size() > 1 && text.back() == L'\n') {
            text.pop_back();
            if (!text.empty() && text.back() == L'\r') text.pop_back();
        }
        return text;
    }
    if (buffer) LocalFree(buffer);
    wchar_t fallback[40];
    unsigned long code = static_cast<unsigned long>(hr_);
    if (code > 0x80040200UL && code <= 0x8004FFFFUL)
        _snwprintf(fallback, 40, L"IDispatch error #%d", static_cast<int>(code - 0x80040200UL));
    else
        _snwprintf(fallback, 40, L"Unknown error 0x%0lX", code);
    fallback[39] = L'\0';
    return fallback;
}

void throwComError(HRESULT hr) { throw ComError::fromErrorInfo(hr); }
