// Temporary trees (removed on every way out), file and token helpers for the
// file-system and security tests.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "runtime/exceptions.h"
#include "runtime/owners.h"
#include "testutil.h"

namespace fsutil {

inline std::wstring uniqueName(const wchar_t* what) {
    static LONG counter = 0;
    return std::wstring(L"hvcfs-") + what + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(InterlockedIncrement(&counter));
}

// A drive on another file system (scripts/wine-run.sh maps V: to /dev/shm).
inline std::wstring secondVolume() {
    const char* drive = std::getenv("HVC_TEST_VOLUME2");
    std::string name = drive && *drive ? drive : "V:";
    return std::wstring(name.begin(), name.end());
}

// Sorted names in a directory, without "." and "..".
inline std::vector<std::wstring> names(const std::wstring& dir) {
    std::vector<std::wstring> result;
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((dir + L"\\*").c_str(), &data));
    for (bool more = bool(find); more; more = FindNextFileW(find.get(), &data))
        if (wcscmp(data.cFileName, L".") && wcscmp(data.cFileName, L"..")) result.push_back(data.cFileName);
    std::sort(result.begin(), result.end());
    return result;
}

// Bare-API removal whatever state a test left: null DACL, no attributes.
inline void removeTree(const std::wstring& path) {
    SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                          nullptr, nullptr, nullptr);
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    for (const std::wstring& name : names(path)) removeTree(path + L"\\" + name);
    if (!RemoveDirectoryW(path.c_str())) DeleteFileW(path.c_str());
}

// A fresh directory under parent (the temp directory by default).
class TempTree {
public:
    explicit TempTree(const std::wstring& parent = L"") : path_(parent + L"\\" + uniqueName(L"tree")) {
        if (parent.empty()) {
            wchar_t temp[MAX_PATH];
            path_ = std::wstring(temp, GetTempPathW(MAX_PATH, temp)) + uniqueName(L"tree");
        }
        if (!CreateDirectoryW(path_.c_str(), nullptr)) ADD_FAILURE() << "cannot create a tree: " << GetLastError();
    }
    ~TempTree() { removeTree(path_); }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

inline bool writeFile(const std::wstring& path, const std::string& content) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), content.data(), DWORD(content.size()), &written, nullptr);
}

inline std::string readFile(const std::wstring& path) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    std::string content;
    char buffer[4096];
    DWORD read = 0;
    while (file && ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read) content.append(buffer, read);
    return content;
}

inline bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
inline bool isDirectory(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Name, size and hash of each entry (a directory's content is its own listing): equal listings, equal trees.
inline std::string checksumListing(const std::wstring& dir) {
    std::string listing;
    for (const std::wstring& name : names(dir)) {
        const std::wstring full = dir + L"\\" + name;
        const std::string content = isDirectory(full) ? "{" + checksumListing(full) + "}" : readFile(full);
        listing += testutil::narrow(name) + " " + std::to_string(content.size()) + " " +
                   std::to_string(std::hash<std::string>()(content)) + "\n";
    }
    return listing;
}

inline void fillTree(const std::wstring& root) {
    for (const wchar_t* dir : {L"", L"\\docs", L"\\docs\\deep", L"\\empty"})
        CreateDirectoryW((root + dir).c_str(), nullptr);
    writeFile(root + L"\\a.txt", "alpha");
    writeFile(root + L"\\b.bin", std::string("\0\1\2\3 binary", 12));
    writeFile(root + L"\\docs\\readme.txt", std::string(70000, 'r'));
    writeFile(root + L"\\docs\\deep\\note.txt", "deep note");
    writeFile(root + L"\\zero.txt", "");
}

// Runs a Unix command under Wine with the Unix names of Windows paths, e.g. a
// symbolic link (CreateSymbolicLinkW makes nothing there): ln -s target link.
inline bool unixCommand(const char* program, const std::vector<std::wstring>& paths, const char* option = nullptr) {
    auto unixName = reinterpret_cast<char*(CDECL*)(const wchar_t*)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    auto spawn = reinterpret_cast<LONG(CDECL*)(char* const*, int)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll"), "__wine_unix_spawnvp")));
    if (!unixName || !spawn) return false;
    std::vector<char*> argv = {const_cast<char*>(program)};
    if (option) argv.push_back(const_cast<char*>(option));
    for (const std::wstring& path : paths) argv.push_back(unixName(path.c_str()));
    argv.push_back(nullptr);
    const bool ok = std::find(argv.begin() + 1, argv.end() - 1, nullptr) == argv.end() - 1 && spawn(argv.data(), 1) == 0;
    for (size_t i = option ? 2 : 1; i + 1 < argv.size(); ++i) HeapFree(GetProcessHeap(), 0, argv[i]);
    return ok;
}

// Whether a privilege of the process token is on; with enable 0 or 1 switches it instead.
inline bool processPrivilege(const wchar_t* name, int enable = -1) {
    UniqueHandle token;
    LUID luid = {};
    OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put());
    LookupPrivilegeValueW(nullptr, name, &luid);
    TOKEN_PRIVILEGES change = {1, {{luid, enable > 0 ? DWORD(SE_PRIVILEGE_ENABLED) : 0}}};
    if (enable >= 0) return AdjustTokenPrivileges(token.get(), FALSE, &change, 0, nullptr, nullptr);
    std::vector<DWORD> buffer(1024);
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenPrivileges, buffer.data(), DWORD(buffer.size() * 4), &size);
    const TOKEN_PRIVILEGES* held = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < held->PrivilegeCount; ++i)
        if (held->Privileges[i].Luid.LowPart == luid.LowPart && held->Privileges[i].Luid.HighPart == luid.HighPart)
            return held->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED;
    return false;
}

// This thread impersonates its own token less one privilege while it lives.
class WithoutPrivilege {
public:
    explicit WithoutPrivilege(const wchar_t* privilege) {
        LUID_AND_ATTRIBUTES removed = {};
        UniqueHandle process, restricted, impersonation;
        bool ok = OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, process.put()) &&
                  LookupPrivilegeValueW(nullptr, privilege, &removed.Luid) &&
                  CreateRestrictedToken(process.get(), 0, 0, nullptr, 1, &removed, 0, nullptr, restricted.put()) &&
                  DuplicateTokenEx(restricted.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                                   TokenImpersonation, impersonation.put());
        if (!ok || !SetThreadToken(nullptr, impersonation.get()))
            ADD_FAILURE() << "no restricted token: " << GetLastError();
    }
    ~WithoutPrivilege() { RevertToSelf(); }
};

// What f threw: message, OS code (0 for none) and locations.
struct Failure {
    std::wstring message = L"(nothing thrown)";
    DWORD code = 0;
    std::vector<ErrorLocation> locations;
    // "function:line" of the throw point.
    std::string where() const {
        return locations.empty() ? "" : locations.front().function + ":" + std::to_string(locations.front().line);
    }
};
inline Failure failureOf(const std::function<void()>& f) {
    Failure failure;
    try {
        f();
    } catch (const vosexception& e) {
        failure = {e.message(), e.errorCode(), e.locations()};
    } catch (const vexception& e) {
        failure = {e.message(), 0, e.locations()};
    }
    return failure;
}

// An OS error's text as the library composes it.
inline std::wstring osText(DWORD code, const std::wstring& where) {
    return testutil::systemText(code) + L" (Error code " + std::to_wstring(code) + L") at " + where;
}

}  // namespace fsutil
