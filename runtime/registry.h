// Throwing wrappers over the registry API and the library's configuration key.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "runtime/owners.h"

// HKEY_LOCAL_MACHINE\SOFTWARE\Orvex\HVC Config\Config
struct ConfigKey {
    static HKEY root() { return HKEY_LOCAL_MACHINE; }
    static const wchar_t* subKey() { return L"SOFTWARE\\Orvex\\HVC Config\\Config"; }
};

// Owns one open key; creates it unless openOnly is set.
class RegKey : public UniqueHKey {
public:
    RegKey() = default;
    explicit RegKey(HKEY key) : UniqueHKey(key) {}
    RegKey(HKEY root, const std::wstring& subKey, REGSAM access, bool openOnly);

    operator HKEY() const { return get(); }
};

// Which registry view a lookup reads: 0 own, 1 32-bit, 2 64-bit, 3 the native one.
using RegistryView = int;

namespace registry {

REGSAM viewAccess(RegistryView view);

RegKey create(HKEY root, const std::wstring& subKey, REGSAM access);
RegKey open(HKEY root, const std::wstring& subKey, REGSAM access);
void set(HKEY key, const std::wstring& valueName, DWORD value);
void set(HKEY key, const std::wstring& valueName, const std::wstring& value);
bool keyExists(HKEY root, const std::wstring& subKey);

// Lookups return the registry status and leave the output untouched when
// the key or value is missing; only a value of the wrong type or size throws.
LONG lookup(HKEY root, const std::wstring& subKey, const std::wstring& valueName, DWORD& value,
            RegistryView view = 0);
LONG lookup(HKEY key, const std::wstring& valueName, DWORD& value);
LONG lookup(HKEY root, const std::wstring& subKey, const std::wstring& valueName, std::wstring& value,
            DWORD expectedType, RegistryView view = 0);
LONG lookup(HKEY key, const std::wstring& valueName, std::wstring& value);
LONG lookup(HKEY root, const std::wstring& subKey, const std::wstring& valueName, std::vector<std::wstring>& values,
            RegistryView view = 0);

std::wstring getstr(HKEY root, const std::wstring& subKey, const std::wstring& valueName, DWORD expectedType);
std::vector<std::wstring> getMulti(HKEY root, const std::wstring& subKey, const std::wstring& valueName);

}  // namespace registry

// A DWORD configuration value that a running host may change: read on the
// 1st, 17th, 33rd ... call, cached in between.
class PeriodicDword {
public:
    explicit PeriodicDword(const wchar_t* valueName, DWORD initial = 0) : name_(valueName), cached_(initial) {}
    // Returns the cached value; a failed reading throws and leaves the cache.
    DWORD get();

private:
    const wchar_t* name_;
    unsigned calls_ = 0;
    DWORD cached_;
};
