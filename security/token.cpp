#include "security/token.h"

#include <cstdlib>

#include "runtime/exceptions.h"

using RunTime::throwRuntimeError;

namespace {

// The calling thread's impersonation token, or the process token when the
// thread is not impersonating.
UniqueHandle openCurrentToken(DWORD access, bool openAsSelf) {
    UniqueHandle token;
    if (OpenThreadToken(GetCurrentThread(), access, openAsSelf, token.put())) return token;
    if (GetLastError() != ERROR_NO_TOKEN) throwRuntimeError(L"Unable to open a thread token", GetLastError());
    if (!OpenProcessToken(GetCurrentProcess(), access, token.put()))
        throwRuntimeError(L"Unable to open a process token", GetLastError());
    return token;
}

// The token whose identity the queries report.
UniqueHandle openIdentityToken(HANDLE process) {
    if (process == GetCurrentProcess()) return openCurrentToken(TOKEN_READ, false);
    UniqueHandle token;
    if (!OpenProcessToken(process, TOKEN_READ, token.put()))
        throwRuntimeError(L"Unable to open process token", GetLastError());
    return token;
}

LUID lookupPrivilege(const std::wstring& name, const wchar_t* failure) {
    LUID luid;
    if (!LookupPrivilegeValueW(nullptr, name.c_str(), &luid)) throwRuntimeError(failure, GetLastError(), name.c_str());
    return luid;
}

// AdjustTokenPrivileges reports a privilege the token lacks as success with
// ERROR_NOT_ALL_ASSIGNED, so only a true result with no error counts.
bool adjustOne(HANDLE token, const LUID& luid, DWORD attributes) {
    TOKEN_PRIVILEGES change;
    change.PrivilegeCount = 1;
    change.Privileges[0].Luid = luid;
    change.Privileges[0].Attributes = attributes;
    SetLastError(ERROR_SUCCESS);
    return AdjustTokenPrivileges(token, FALSE, &change, 0, nullptr, nullptr) && GetLastError() == ERROR_SUCCESS;
}

// The SID of a TokenUser or TokenOwner record.
AccountSid tokenSid(HANDLE process, TOKEN_INFORMATION_CLASS infoClass) {
    UniqueHandle token = openIdentityToken(process);
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), infoClass, nullptr, 0, &size) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        throwRuntimeError(L"Unable to get token information", GetLastError());
    UniqueMallocPtr<BYTE> buffer(static_cast<BYTE*>(std::malloc(size ? size : 1)));
    if (!buffer) throwRuntimeError(L"Unable to allocate (%d) bytes", GetLastError(), static_cast<int>(size));
    if (!GetTokenInformation(token.get(), infoClass, buffer.get(), size, &size))
        throwRuntimeError(L"Unable to get token information", GetLastError());
    PSID sid = infoClass == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.get())->User.Sid
                                      : reinterpret_cast<TOKEN_OWNER*>(buffer.get())->Owner;
    return AccountSid(sid);
}

}  // namespace

void setPrivilege(const std::wstring& name, bool enable) {
    UniqueHandle token;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, TRUE, token.put())) {
        if (GetLastError() != ERROR_NO_TOKEN)
            throwOSError(L"OpenThreadToken", GetLastError(), VLOCATION_AT("setPrivilege", 919));
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put()))
            throwOSError(L"OpenProcessToken", GetLastError(), VLOCATION_AT("setPrivilege", 921));
    }
    LUID luid;
    if (!LookupPrivilegeValueW(nullptr, name.c_str(), &luid))
        throwOSError(L"LookupPrivilegeValue", GetLastError(), VLOCATION_AT("setPrivilege", 925));
    if (!adjustOne(token.get(), luid, enable ? SE_PRIVILEGE_ENABLED : 0))
        throwOSError(L"AdjustTokenPrivileges", GetLastError(), VLOCATION_AT("setPrivilege", 935));
}

void enablePrivilege(const std::wstring& name) {
    LUID luid = lookupPrivilege(name, L"Unable to find privilege (%s)");
    UniqueHandle token = openCurrentToken(TOKEN_ADJUST_PRIVILEGES, false);
    if (!adjustOne(token.get(), luid, SE_PRIVILEGE_ENABLED))
        throwRuntimeError(L"Unable to adjust privilege (%s)", GetLastError(), name.c_str());
}

bool hasPrivilege(const std::wstring& name) {
    LUID luid = lookupPrivilege(name, L"The privilege (%s) is not found");
    UniqueHandle token = openCurrentToken(TOKEN_QUERY, false);
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenPrivileges, nullptr, 0, &size) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        throwRuntimeError(L"Unable to get token privileges", GetLastError());
    UniqueMallocPtr<BYTE> buffer(static_cast<BYTE*>(std::malloc(size ? size : 1)));
    if (!buffer)
        throwRuntimeError(L"Unable to allocate memory for token privileges (%d) bytes", GetLastError(),
                          static_cast<int>(size));
    if (!GetTokenInformation(token.get(), TokenPrivileges, buffer.get(), size, &size))
        throwRuntimeError(L"Unable to get token privileges", GetLastError());
    const TOKEN_PRIVILEGES* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.get());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
        const LUID& held = privileges->Privileges[i].Luid;
        if (held.LowPart == luid.LowPart && held.HighPart == luid.HighPart) return true;
    }
    return false;
}

AccountSid tokenUser(HANDLE process) { return tokenSid(process, TokenUser); }

AccountSid tokenOwner(HANDLE process) { return tokenSid(process, TokenOwner); }

UniqueMallocPtr<TOKEN_GROUPS> tokenGroups(HANDLE process) {
    UniqueHandle token = openIdentityToken(process);
    UniqueMallocPtr<BYTE> buffer = queryTokenInformation(token.get(), TokenGroups);
    return UniqueMallocPtr<TOKEN_GROUPS>(reinterpret_cast<TOKEN_GROUPS*>(buffer.release()));
}

UniqueMallocPtr<BYTE> queryTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass) {
    DWORD size = 256;
    UniqueMallocPtr<BYTE> buffer(static_cast<BYTE*>(std::malloc(size)));
    if (!buffer) throwRuntimeError(L"Unable to allocate (%d) bytes", GetLastError(), static_cast<int>(size));
    if (GetTokenInformation(token, infoClass, buffer.get(), size, &size)) return buffer;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        throwRuntimeError(L"Unable to get token information", GetLastError());
    buffer.reset(static_cast<BYTE*>(std::malloc(size)));
    if (!buffer) throwRuntimeError(L"Unable to allocate (%d) bytes", GetLastError(), static_cast<int>(size));
    if (!GetTokenInformation(token, infoClass, buffer.get(), size, &size))
        throwRuntimeError(L"Unable to get token information", GetLastError());
    return buffer;
}

PrivateThreadToken::PrivateThreadToken() {
    UniqueHandle current;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_IMPERSONATE | TOKEN_DUPLICATE | TOKEN_QUERY, TRUE, current.put())) {
        if (GetLastError() != ERROR_NO_TOKEN) throwRuntimeError(L"Unable to open a thread token", GetLastError());
        if (!ImpersonateSelf(SecurityImpersonation)) throwRuntimeError(L"Unable to impersonate self", GetLastError());
        return;
    }
    // An impersonating thread keeps its identity: the copy is of its own token.
    UniqueHandle copy;
    if (!DuplicateTokenEx(current.get(), TOKEN_IMPERSONATE | TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES, nullptr,
                          SecurityImpersonation, TokenImpersonation, copy.put()))
        throwRuntimeError(L"Unable to duplicate a thread token", GetLastError());
    if (!SetThreadToken(nullptr, copy.get())) throwRuntimeError(L"Unable to set a thread token", GetLastError());
    previous_ = std::move(current);
}

PrivateThreadToken::~PrivateThreadToken() { SetThreadToken(nullptr, previous_.valid() ? previous_.get() : nullptr); }
