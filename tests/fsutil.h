// Temporary trees for the file-system tests (removed on every way out),
// small file helpers and a checksum listing of a tree.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>

#include <algorithm>
#include <cstdint>
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

// A drive on another file system, so that no directory is renamed onto it in
// one step. Under Wine scripts/wine-run.sh maps V: to /dev/shm.
inline std::wstring secondVolume() {
    const char* drive = std::getenv("HVC_TEST_VOLUME2");
    std::string name = drive && *drive ? drive : "V:";
    return std::wstring(name.begin(), name.end());
}

// Name list of a directory, sorted, without "." and "..".
inline std::vector<std::wstring> names(const std::wstring& dir) {
    std::vector<std::wstring> result;
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((dir + L"\\*").c_str(), &data));
    while (find) {
        if (std::wstring(data.cFileName) != L"." && std::wstring(data.cFileName) != L"..")
            result.push_back(data.cFileName);
        if (!FindNextFileW(find.get(), &data)) break;
    }
    std::sort(result.begin(), result.end());
    return result;
}

// Removes a tree with the bare API whatever state a test left it in: full
// access back (a null DACL), no attributes.
inline void removeTree(const std::wstring& path) {
    SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                          nullptr, nullptr, nullptr);
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    for (const std::wstring& name : names(path)) removeTree(path + L"\\" + name);
    if (!RemoveDirectoryW(path.c_str())) DeleteFileW(path.c_str());
}

// A fresh directory under parent, removed with its contents at the end.
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

// One sorted line per entry below dir: "name/" or "name size fnv1a". Equal
// listings mean the same names and the same bytes.
inline std::string checksumListing(const std::wstring& dir, const std::string& prefix = "") {
    std::string listing;
    for (const std::wstring& name : names(dir)) {
        const std::wstring full = dir + L"\\" + name;
        const std::string relative = prefix + testutil::narrow(name);
        if (isDirectory(full)) {
            listing += relative + "/\n" + checksumListing(full, relative + "/");
            continue;
        }
        const std::string content = readFile(full);
        uint32_t hash = 2166136261u;
        for (unsigned char c : content) hash = (hash ^ c) * 16777619u;
        listing += relative + " " + std::to_string(content.size()) + " " + std::to_string(hash) + "\n";
    }
    return listing;
}

inline void fillTree(const std::wstring& root) {
    for (const wchar_t* dir : {L"", L"\\docs", L"\\docs\\deep", L"\\empty"}) CreateDirectoryW((root + dir).c_str(), nullptr);
    writeFile(root + L"\\a.txt", "alpha");
    writeFile(root + L"\\b.bin", std::string("\0\1\2\3 binary", 12));
    writeFile(root + L"\\docs\\readme.txt", std::string(70000, 'r'));
    writeFile(root + L"\\docs\\deep\\note.txt", "deep note");
    writeFile(root + L"\\zero.txt", "");
}

// A protected DACL that denies Everyone everything.
inline DWORD denyEveryone(const std::wstring& path) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    alignas(DWORD) BYTE buffer[256];
    PACL acl = reinterpret_cast<PACL>(buffer);
    if (!CreateWellKnownSid(WinWorldSid, nullptr, sid, &sidSize) || !InitializeAcl(acl, sizeof buffer, ACL_REVISION) ||
        !AddAccessDeniedAce(acl, ACL_REVISION, GENERIC_ALL, sid))
        return GetLastError();
    return SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                 acl, nullptr);
}

// Holds a file open without sharing: it can be neither moved nor deleted (32).
class OpenWithoutSharing {
public:
    explicit OpenWithoutSharing(const std::wstring& path)
        : handle_(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {
        if (!handle_) ADD_FAILURE() << "cannot hold the file: " << GetLastError();
    }

private:
    UniqueHandle handle_;
};

// What f threw: message, OS code (0 for none) and locations.
struct Failure {
    std::wstring message = L"(nothing thrown)";
    DWORD code = 0;
    std::vector<ErrorLocation> locations;
    std::string function() const { return locations.empty() ? "" : locations.front().function; }
    unsigned line() const { return locations.empty() ? 0 : locations.front().line; }
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
