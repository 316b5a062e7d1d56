// The stand-in services write their own full image path into the
// configuration value the library checks a pipe server against.
#pragma once
#include <windows.h>
#include <cwchar>
#include "runtime/owners.h"

inline void registerImage(const wchar_t* value, const wchar_t* program) {
    wchar_t path[32768];
    DWORD size = 32768;
    UniqueHKey key;
    if (!QueryFullProcessImageNameW(GetCurrentProcess(), 0, path, &size) ||
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Orvex\\HVC Config\\Config", 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, key.put(), nullptr) != ERROR_SUCCESS ||
        RegSetValueExW(key.get(), value, 0, REG_SZ, reinterpret_cast<const BYTE*>(path),
                       (size + 1) * sizeof(wchar_t)) != ERROR_SUCCESS)
        std::fwprintf(stderr, L"%ls: cannot write %ls into the configuration\n", program, value);
}
