// Temporary trees for the file-system tests: owners that remove them on every
// way out, small file helpers and a checksum listing of a tree.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/owners.h"

namespace fsutil {

inline std::wstring uniqueName(const wchar_t* what) {
    static LONG counter = 0;
    return std::wstring(L"hvcfs-") + what + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(InterlockedIncrement(&counter));
}

inline std::wstring tempDirectory() {
    wchar_t temp[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, temp);
    std::wstring dir(temp, length);
    while (!dir.empty() && dir.back() == L'\\') dir.pop_back();
    return dir;
}

// The second volume: a drive on another file system, so that a directory
// cannot be renamed onto it in one step. Under Wine scripts/wine-run.sh maps
// V: to a directory on /dev/shm; HVC_TEST_VOLUME2 names another drive.
inline std::wstring secondVolume() {
    const char* drive = std::getenv("HVC_TEST_VOLUME2");
    std::string name = drive && *drive ? drive : "V:";
    return std::wstring(name.begin(), name.end());
}

// Gives the entry back full access and no attributes, so that it can go.
inline void release(const std::wstring& path) {
    SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                          DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                          nullptr, nullptr);
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// Removes a tree with the bare API, whatever state a test left it in.
inline void removeTree(const std::wstring& path) {
    release(path);
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((path + L"\\*").c_str(), &data));
    if (find) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring full = path + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                removeTree(full);
            } else {
                release(full);
                DeleteFileW(full.c_str());
            }
        } while (FindNextFileW(find.get(), &data));
    }
    find.reset();
    if (!RemoveDirectoryW(path.c_str())) DeleteFileW(path.c_str());
}

// A fresh directory under parent (the temporary directory by default),
// removed with everything in it when the owner goes.
class TempTree {
public:
    explicit TempTree(const wchar_t* what = L"tree", std::wstring parent = tempDirectory())
        : path_(parent + L"\\" + uniqueName(what)) {
        if (!CreateDirectoryW(path_.c_str(), nullptr)) ADD_FAILURE() << "cannot create " << GetLastError();
    }
    ~TempTree() { removeTree(path_); }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// Removes a path the test creates outside a TempTree.
class RemoveAtEnd {
public:
    explicit RemoveAtEnd(std::wstring path) : path_(std::move(path)) {}
    ~RemoveAtEnd() { removeTree(path_); }
    RemoveAtEnd(const RemoveAtEnd&) = delete;
    RemoveAtEnd& operator=(const RemoveAtEnd&) = delete;

private:
    std::wstring path_;
};

inline bool writeFile(const std::wstring& path, const std::string& content) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
           written == content.size();
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

// Names in a directory, sorted, without "." and "..".
inline std::vector<std::wstring> names(const std::wstring& dir) {
    std::vector<std::wstring> result;
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((dir + L"\\*").c_str(), &data));
    if (!find) return result;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") result.push_back(name);
    } while (FindNextFileW(find.get(), &data));
    std::sort(result.begin(), result.end());
    return result;
}

// One line per entry below dir, sorted: "name/" for a directory,
// "name size fnv1a" for a file. Two trees with equal listings hold the same
// names and the same bytes.
inline std::string checksumListing(const std::wstring& dir, const std::wstring& prefix = L"") {
    std::string listing;
    for (const std::wstring& name : names(dir)) {
        const std::wstring full = dir + L"\\" + name;
        const std::string relative(std::string(prefix.begin(), prefix.end()) + std::string(name.begin(), name.end()));
        if (isDirectory(full)) {
            listing += relative + "/\n" + checksumListing(full, prefix + name + L"/");
        } else {
            const std::string content = readFile(full);
            uint32_t hash = 2166136261u;
            for (unsigned char c : content) hash = (hash ^ c) * 16777619u;
            listing += relative + " " + std::to_string(content.size()) + " " + std::to_string(hash) + "\n";
        }
    }
    return listing;
}

// A small tree of files and directories with distinct contents.
inline void fillTree(const std::wstring& root) {
    CreateDirectoryW((root + L"\\docs").c_str(), nullptr);
    CreateDirectoryW((root + L"\\docs\\deep").c_str(), nullptr);
    CreateDirectoryW((root + L"\\empty").c_str(), nullptr);
    writeFile(root + L"\\a.txt", "alpha");
    writeFile(root + L"\\b.bin", std::string("\0\1\2\3 binary", 12));
    writeFile(root + L"\\docs\\readme.txt", std::string(70000, 'r'));
    writeFile(root + L"\\docs\\deep\\note.txt", "deep note");
    writeFile(root + L"\\zero.txt", "");
}

// A DACL that denies Everyone everything. Wine keeps no DACL: it turns this
// into mode 000, which it reports as read-only.
inline DWORD denyEveryone(const std::wstring& path) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    if (!CreateWellKnownSid(WinWorldSid, nullptr, sid, &sidSize)) return GetLastError();
    alignas(DWORD) BYTE buffer[256];
    PACL acl = reinterpret_cast<PACL>(buffer);
    if (!InitializeAcl(acl, sizeof buffer, ACL_REVISION) || !AddAccessDeniedAce(acl, ACL_REVISION, GENERIC_ALL, sid))
        return GetLastError();
    return SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                 acl, nullptr);
}

// Holds a file open without any sharing, so that it can be neither moved
// nor deleted (32) while the holder lives.
class OpenWithoutSharing {
public:
    explicit OpenWithoutSharing(const std::wstring& path)
        : handle_(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {
        if (!handle_) ADD_FAILURE() << "cannot open the file to hold: " << GetLastError();
    }
    void close() { handle_.reset(); }

private:
    UniqueHandle handle_;
};

}  // namespace fsutil
