// Running a program of the test directory (hvctesthelper.exe by default) as
// a child process, and keeping a configuration value safe while a test
// changes it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "runtime/owners.h"
#include "runtime/registry.h"

namespace childprocess {

inline std::wstring binDirectory() {
    wchar_t path[MAX_PATH];
    std::wstring dir(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return dir.substr(0, dir.find_last_of(L'\\'));
}

struct Result {
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;  // standard output, byte for byte
};

inline UniqueHandle inheritable(HANDLE handle) {
    UniqueHandle copy;
    HANDLE duplicate = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &duplicate, 0, TRUE, DUPLICATE_SAME_ACCESS))
        copy.reset(duplicate);
    return copy;
}

// Starts the program with its standard output on `output` (inheritable) and
// its standard error on ours; an empty handle when it cannot start.
inline UniqueHandle start(const std::vector<std::wstring>& args, HANDLE output,
                          const wchar_t* program = L"hvctesthelper.exe") {
    std::wstring line = L"\"" + binDirectory() + L"\\" + program + L"\"";
    for (const std::wstring& arg : args) line += L" \"" + arg + L"\"";
    UniqueHandle error = inheritable(GetStdHandle(STD_ERROR_HANDLE));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = error.get();
    PROCESS_INFORMATION process = {};
    CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    UniqueHandle thread(process.hThread);
    return UniqueHandle(process.hProcess);
}

// Waits for the process; the exit code, 0xFFFFFFFF for none.
inline DWORD finish(const UniqueHandle& process) {
    DWORD code = 0xFFFFFFFF;
    if (process && WaitForSingleObject(process.get(), 60000) == WAIT_OBJECT_0) GetExitCodeProcess(process.get(), &code);
    return code;
}

// Runs the program to its end and collects its standard output.
inline Result run(const std::vector<std::wstring>& args, const wchar_t* program = L"hvctesthelper.exe") {
    Result result;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    UniqueHandle readEnd, writeEnd;
    if (!CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0)) return result;
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
    UniqueHandle process = start(args, writeEnd.get(), program);
    writeEnd.reset();  // the reads end when the child's copy closes
    char buffer[4096];
    DWORD read = 0;
    while (process && ReadFile(readEnd.get(), buffer, sizeof buffer, &read, nullptr) && read)
        result.output.append(buffer, read);
    result.exitCode = finish(process);
    return result;
}

// Saves one value (up to 2 KB) of the configuration key, in the process's own
// registry view or in the 32-bit one, and puts it back, or removes it again,
// when the test ends.
class SavedConfigValue {
public:
    explicit SavedConfigValue(const wchar_t* name, REGSAM view = 0) : name_(name) {
        RegCreateKeyExW(ConfigKey::root(), ConfigKey::subKey(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr,
                        key_.put(), nullptr);
        existed_ = RegQueryValueExW(key_.get(), name_, nullptr, &type_, data_, &size_) == ERROR_SUCCESS;
    }
    ~SavedConfigValue() { existed_ ? put(type_, data_, size_) : remove(); }

    void set(DWORD value) { put(REG_DWORD, &value, sizeof value); }
    void set(const std::wstring& v) { put(REG_SZ, v.c_str(), static_cast<DWORD>((v.size() + 1) * sizeof(wchar_t))); }
    void remove() { RegDeleteValueW(key_.get(), name_); }

private:
    void put(DWORD type, const void* data, DWORD size) {
        RegSetValueExW(key_.get(), name_, 0, type, static_cast<const BYTE*>(data), size);
    }

    const wchar_t* name_;
    UniqueHKey key_;
    DWORD type_ = 0, size_ = sizeof data_;
    BYTE data_[2048];
    bool existed_ = false;
};

}  // namespace childprocess
