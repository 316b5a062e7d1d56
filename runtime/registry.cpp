#include "runtime/registry.h"

#include <vector>

#include "runtime/exceptions.h"
#include "runtime/pathtext.h"

namespace {

using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);

// Resolved once at load; missing on systems without WOW64.
const IsWow64ProcessFn isWow64Process = reinterpret_cast<IsWow64ProcessFn>(
    reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process")));

bool runsUnderWow64() {
    BOOL wow64 = FALSE;
    return isWow64Process && isWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

[[noreturn]] void invalid(const char* what, const std::wstring& where) {
    throw vexception(std::wstring(L"RegQueryValueEx invalid ") + (what[0] == 's' ? L"size" : L"type") + L" of '" +
                         where + L"'",
                     VLOCATION("registry::lookup"));
}

std::wstring valuePath(const std::wstring& subKey, const std::wstring& valueName) {
    return subKey.empty() ? valueName : subKey + L"\\" + valueName;
}

LONG queryDword(HKEY key, const std::wstring& valueName, DWORD& value, const std::wstring& where) {
    DWORD type = 0, data = 0, size = sizeof data;
    LONG status = RegQueryValueExW(key, valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
    if (status == ERROR_MORE_DATA) invalid(type == REG_DWORD ? "size" : "type", where);
    if (status != ERROR_SUCCESS) return status;
    if (type != REG_DWORD) invalid("type", where);
    if (size != sizeof data) invalid("size", where);
    value = data;
    return ERROR_SUCCESS;
}

// Reads the raw data of a value sized by the key's largest value.
LONG queryData(HKEY key, const std::wstring& valueName, DWORD& type, std::vector<wchar_t>& data) {
    DWORD maxData = 0;
    LONG status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   &maxData, nullptr, nullptr);
    if (status != ERROR_SUCCESS) return status;
    data.assign(maxData / sizeof(wchar_t) + 2, L'\0');
    DWORD size = maxData;
    status = RegQueryValueExW(key, valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    if (status != ERROR_SUCCESS) return status;
    // Data stored without its terminators (or with an odd byte count) still
    // ends in two zeros, so that a walk over its strings stops inside it.
    data.resize((size + 1) / sizeof(wchar_t));
    data.push_back(L'\0');
    data.push_back(L'\0');
    return ERROR_SUCCESS;
}

LONG openForQuery(HKEY root, const std::wstring& subKey, RegistryView view, RegKey& key) {
    return RegOpenKeyExW(root, subKey.c_str(), 0, KEY_QUERY_VALUE | registry::viewAccess(view), key.put());
}

bool isText(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

LONG queryText(HKEY key, const std::wstring& valueName, std::wstring& value, DWORD expectedType,
               const std::wstring& where) {
    DWORD type = 0;
    std::vector<wchar_t> data;
    LONG status = queryData(key, valueName, type, data);
    if (status != ERROR_SUCCESS) return status;
    if (type != expectedType && !(isText(type) && isText(expectedType))) invalid("type", where);
    std::wstring text = data.data();
    value = type == REG_EXPAND_SZ ? VFileName::expandEnvironmentStrings(text) : text;
    return ERROR_SUCCESS;
}

}  // namespace

namespace registry {

REGSAM viewAccess(RegistryView view) {
    switch (view) {
    case 1: return KEY_WOW64_32KEY;
    case 2: return KEY_WOW64_64KEY;
    case 3: return runsUnderWow64() ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    default: return 0;
    }
}

RegKey create(HKEY root, const std::wstring& subKey, REGSAM access) {
    RegKey key;
    LONG status = RegCreateKeyExW(root, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                                  key.put(), nullptr);
    if (status != ERROR_SUCCESS)
        throwOSError(L"RegCreateKeyEx subKey=" + subKey, static_cast<DWORD>(status), VLOCATION("registry::create"));
    return key;
}

RegKey open(HKEY root, const std::wstring& subKey, REGSAM access) {
    RegKey key;
    LONG status = RegOpenKeyExW(root, subKey.c_str(), 0, access, key.put());
    if (status != ERROR_SUCCESS)
        throwOSError(L"RegOpenKeyEx subKey=" + subKey, static_cast<DWORD>(status), VLOCATION("registry::open"));
    return key;
}

void set(HKEY key, const std::wstring& valueName, DWORD value) {
    LONG status =
        RegSetValueExW(key, valueName.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    if (status != ERROR_SUCCESS)
        throwOSError(L"RegSetValueEx valueName=" + valueName, static_cast<DWORD>(status), VLOCATION("registry::set"));
}

void set(HKEY key, const std::wstring& valueName, const std::wstring& value) {
    LONG status = RegSetValueExW(key, valueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    if (status != ERROR_SUCCESS)
        throwOSError(L"RegSetValueEx valueName=" + valueName, static_cast<DWORD>(status), VLOCATION("registry::set"));
}

bool keyExists(HKEY root, const std::wstring& subKey) {
    RegKey key;
    return RegOpenKeyExW(root, subKey.c_str(), 0, READ_CONTROL, key.put()) == ERROR_SUCCESS;
}

LONG lookup(HKEY root, const std::wstring& subKey, const std::wstring& valueName, DWORD& value, RegistryView view) {
    RegKey key;
    LONG status = openForQuery(root, subKey, view, key);
    if (status != ERROR_SUCCESS) return status;
    return queryDword(key, valueName, value, valuePath(subKey, valueName));
}

LONG lookup(HKEY key, const std::wstring& valueName, DWORD& value) {
    return queryDword(key, valueName, value, valueName);
}

LONG lookup(HKEY root, const std::wstring& subKey, const std::wstring& valueName, std::wstring& value,
            DWORD expectedType, RegistryView view) {
    RegKey key;
    LONG status = openForQuery(root, subKey, view, key);
    if (status != ERROR_SUCCESS) return status;
    return queryText(key, valueName, value, expectedType, valuePath(subKey, valueName));
}

LONG lookup(HKEY key, const std::wstring& valueName, std::wstring& value) {
    return queryText(key, valueName, value, REG_SZ, valueName);
}

LONG lookup(HKEY root, const std::wstring& subKey, const std::wstring& valueName, std::vector<std::wstring>& values,
            RegistryView view) {
    RegKey key;
    LONG status = openForQuery(root, subKey, view, key);
    if (status != ERROR_SUCCESS) return status;
    DWORD type = 0;
    std::vector<wchar_t> data;
    status = queryData(key, valueName, type, data);
    if (status != ERROR_SUCCESS) return status;
    if (type != REG_MULTI_SZ) invalid("type", valuePath(subKey, valueName));
    for (const wchar_t* item = data.data(); *item; item += wcslen(item) + 1) values.emplace_back(item);
    return ERROR_SUCCESS;
}

std::wstring getstr(HKEY root, const std::wstring& subKey, const std::wstring& valueName, DWORD expectedType) {
    std::wstring value;
    LONG status = lookup(root, subKey, valueName, value, expectedType, 0);
    if (status != ERROR_SUCCESS)
        throwOSError(L"lookup subKey=" + subKey + L" value=" + valueName + L" with type " +
                         std::to_wstring(expectedType),
                     static_cast<DWORD>(status), VLOCATION("registry::getstr"));
    return value;
}

std::vector<std::wstring> getMulti(HKEY root, const std::wstring& subKey, const std::wstring& valueName) {
    std::vector<std::wstring> values;
    LONG status = lookup(root, subKey, valueName, values, 0);
    if (status != ERROR_SUCCESS)
        throwOSError(L"lookup subKey=" + subKey + L" value=" + valueName, static_cast<DWORD>(status),
                     VLOCATION("registry::getMulti"));
    return values;
}

}  // namespace registry

RegKey::RegKey(HKEY root, const std::wstring& subKey, REGSAM access, bool openOnly)
    : RegKey(openOnly ? registry::open(root, subKey, access) : registry::create(root, subKey, access)) {}

DWORD PeriodicDword::get() {
    if (calls_++ % 16 == 0) registry::lookup(ConfigKey::root(), ConfigKey::subKey(), name_, cached_, 0);
    return cached_;
}

bool isDebugMode() {
    static PeriodicDword debug(L"Debug");
    try {
        return debug.get() != 0;
    } catch (...) {
        return false;
    }
}
