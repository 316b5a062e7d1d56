#include "fs/file.h"

#include <aclapi.h>

#include <vector>

#include "fs/filename.h"
#include "runtime/exceptions.h"
#include "runtime/text.h"

void VFile::open(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    HANDLE handle = CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        throwOSError(L"Open file '" + path + L"'", error, VLOCATION_AT("VFile::open", 87));
    }
    handle_.reset(handle);
    path_ = path;
}

bool VFile::exists(const std::wstring& path, bool* notDirectory) {
    bool isDirectory = false;
    const bool found = !path.empty() && fileExist(path.c_str(), &isDirectory);
    if (notDirectory) *notDirectory = !found || !isDirectory;
    return found;
}

void VFile::moveEx(const std::wstring& from, const std::wstring& to, DWORD flags) {
    if (!MoveFileExW(from.c_str(), to.c_str(), flags)) {
        const DWORD error = GetLastError();
        throwOSError(L"Move file '" + from + L"' to '" + to + L"'", error,
                     VLOCATION_AT("VFile::moveEx", 160));
    }
}

namespace VDirectory {

void createDirectory(const std::wstring& path, SECURITY_ATTRIBUTES* sa) {
    if (path.empty())
        throw vexception(L"Unable to create directory with wrong name",
                         VLOCATION_AT("VDirectory::createDirectory", 32));
    const std::wstring trimmed = VFileName::trimTrailingSeparators(path);
    // The trimmed drive ("C:") exists, which ends the recursion; a relative
    // path whose first component is missing reaches an empty parent.
    if (!trimmed.empty() && fileExist(trimmed.c_str())) return;
    // A missing drive is its own parent: making it fails instead.
    const std::wstring parent = VFileName::parent(trimmed);
    if (trimmed.empty() || parent != trimmed) createDirectory(parent, sa);
    makeDir(trimmed, sa);
}

std::wstring current() {
    DWORD needed = GetCurrentDirectoryW(0, nullptr);
    if (needed != 0) {
        std::vector<wchar_t> buffer(needed + 1, L'\0');
        if (GetCurrentDirectoryW(needed, buffer.data()) != 0) return buffer.data();
    }
    throwOSError(L"get current directory", GetLastError(), VLOCATION_AT("VDirectory::current", 48));
}

}  // namespace VDirectory

bool VFileFinder::first(const std::wstring& pattern) {
    close();
    handle_.reset(FindFirstFileW(pattern.c_str(), &data_));
    if (!handle_) {
        DWORD error = GetLastError();
        data_ = WIN32_FIND_DATAW();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
            throwOSError(L"FindFirstFile(" + pattern + L")", error, VLOCATION_AT("VFileFinder::first", 219));
        return false;
    }
    return true;
}

bool VFileFinder::next() {
    if (!handle_) return false;
    if (FindNextFileW(handle_.get(), &data_)) return true;
    DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_FILES) throwOSError(L"FindNextFile", error, VLOCATION_AT("VFileFinder::next", 229));
    data_ = WIN32_FIND_DATAW();
    return false;
}

void VFileFinder::close() {
    // Taken out of the owner so that a failing FindClose can be reported;
    // the handle is gone either way.
    if (handle_ && !FindClose(handle_.release())) {
        DWORD error = GetLastError();
        data_ = WIN32_FIND_DATAW();
        throwOSError(L"FindClose", error, VLOCATION_AT("VFileFinder::close", 238));
    }
    data_ = WIN32_FIND_DATAW();
}

bool VFileFinder::isDots() const {
    const std::wstring entry = data_.cFileName;
    return entry.size() <= 2 && std::wstring(L"..").compare(0, entry.size(), entry) == 0;
}

void makeDir(const std::wstring& path, SECURITY_ATTRIBUTES* sa) {
    if (!CreateDirectoryW(path.c_str(), sa)) {
        const DWORD error = GetLastError();
        throwOSError(format(L"CreateDirectory(%s)", path.c_str()), error, VLOCATION_AT("makeDir", 59));
    }
}

bool fileExist(const wchar_t* path, bool* isDirectory) {
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return false;
        throwOSError(std::wstring(L"retrieves attributes for file or directory ") + path, error,
                     VLOCATION_AT("fileExist", 109));
    }
    if (isDirectory) *isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

DWORD getFileAttributes(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        throwOSError(format(L"GetFileAttributes(%s)", path.c_str()), error,
                     VLOCATION_AT("getFileAttributes", 71));
    }
    return attributes;
}

void setFileAttributes(const std::wstring& path, DWORD attributes) {
    if (!SetFileAttributesW(path.c_str(), attributes)) {
        const DWORD error = GetLastError();
        throwOSError(format(L"SetFileAttributes(%s)", path.c_str()), error,
                     VLOCATION_AT("setFileAttributes", 78));
    }
}

void renameFile(const std::wstring& from, const std::wstring& to) {
    if (!MoveFileW(from.c_str(), to.c_str())) {
        const DWORD error = GetLastError();
        throwOSError(L"rename file " + from + L" to " + to, error, VLOCATION_AT("renameFile", 149));
    }
}

void getFileSecurityInfo(const std::wstring& path, SECURITY_INFORMATION securityInformation, PSID* owner,
                         PSID* group, PACL* dacl, PACL* sacl, UniqueLocalPtr<void>& descriptor) {
    PSECURITY_DESCRIPTOR block = nullptr;
    DWORD result = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, securityInformation, owner, group, dacl,
                                         sacl, &block);
    descriptor.reset(block);
    if (result != ERROR_SUCCESS)
        throwOSError(format(L"GetNamedSecurityInfo(%s)", path.c_str()), result,
                     VLOCATION_AT("getFileSecurityInfo", 476));
}

void getFileSecurityInfo(const std::wstring& path, SECURITY_INFORMATION securityInformation,
                         UniqueLocalPtr<void>& descriptor) {
    getFileSecurityInfo(path, securityInformation, nullptr, nullptr, nullptr, nullptr, descriptor);
}

void setFileAccess(const std::wstring& path, SECURITY_INFORMATION securityInformation,
                   PSECURITY_DESCRIPTOR descriptor) {
    if (!SetFileSecurityW(path.c_str(), securityInformation, descriptor)) {
        const DWORD error = GetLastError();
        throwOSError(format(L"SetFileSecurity(%s)", path.c_str()), error,
                     VLOCATION_AT("setFileAccess", 489));
    }
}

void setFileAccess(const std::wstring& path, PSECURITY_DESCRIPTOR descriptor) {
    setFileAccess(path, DACL_SECURITY_INFORMATION, descriptor);
}
