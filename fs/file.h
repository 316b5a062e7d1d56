// Exception-raising wrappers over the wide file functions: single files and
// handles (VFile), directories (VDirectory), enumeration (VFileFinder), and
// the attribute, rename and security calls the tree operations need.
#pragma once

#include <windows.h>

#include <string>

#include "runtime/owners.h"

// Holds one open file handle and the path it was opened with.
class VFile {
public:
    VFile() = default;

    // CreateFileW without security attributes or template. On failure the
    // handle and path held before stay as they were.
    void open(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags);
    void close() { handle_.reset(); }
    HANDLE handle() const { return handle_.get(); }
    bool isOpen() const { return handle_.valid(); }
    const std::wstring& path() const { return path_; }

    // Whether the entry exists; notDirectory receives true for a file and for
    // a missing entry. An empty path does not exist.
    static bool exists(const std::wstring& path, bool* notDirectory = nullptr);
    // MoveFileExW with the caller's flags.
    static void moveEx(const std::wstring& from, const std::wstring& to, DWORD flags);

private:
    UniqueHandle handle_;
    std::wstring path_;
};

namespace VDirectory {
// Creates the directory and every missing parent, each with sa (may be
// null). An existing entry of that name, even a file, counts as done.
void createDirectory(const std::wstring& path, SECURITY_ATTRIBUTES* sa);
// The process's current directory.
std::wstring current();
}  // namespace VDirectory

// Enumerates one directory: first(pattern), then next() until it gives false.
class VFileFinder {
public:
    VFileFinder() : data_() {}

    // False when nothing matches or the directory is missing.
    bool first(const std::wstring& pattern);
    // False after the last entry; the record is then zeroed.
    bool next();
    void close();

    // ".", ".." or an empty name.
    bool isDots() const;
    std::wstring name() const { return data_.cFileName; }
    DWORD attributes() const { return data_.dwFileAttributes; }
    bool isDirectory() const { return (data_.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
    const WIN32_FIND_DATAW& data() const { return data_; }

private:
    UniqueFindHandle handle_;
    WIN32_FIND_DATAW data_;
};

// Creates exactly one directory; an existing one is a failure.
void makeDir(const std::wstring& path, SECURITY_ATTRIBUTES* sa);
// Whether the entry exists; "not found" and "path not found" give false,
// any other failure of GetFileAttributesW raises.
bool fileExist(const wchar_t* path, bool* isDirectory = nullptr);

DWORD getFileAttributes(const std::wstring& path);
void setFileAttributes(const std::wstring& path, DWORD attributes);
// MoveFileW: never replaces an existing target; a file may change volume.
void renameFile(const std::wstring& from, const std::wstring& to);

// GetNamedSecurityInfoW of a file; owner, group, dacl and sacl (each may be
// null) point into descriptor, which the caller holds.
void getFileSecurityInfo(const std::wstring& path, SECURITY_INFORMATION securityInformation, PSID* owner,
                         PSID* group, PACL* dacl, PACL* sacl, UniqueLocalPtr<void>& descriptor);
void getFileSecurityInfo(const std::wstring& path, SECURITY_INFORMATION securityInformation,
                         UniqueLocalPtr<void>& descriptor);
// SetFileSecurityW; the short form writes the DACL only.
void setFileAccess(const std::wstring& path, SECURITY_INFORMATION securityInformation,
                   PSECURITY_DESCRIPTOR descriptor);
void setFileAccess(const std::wstring& path, PSECURITY_DESCRIPTOR descriptor);
