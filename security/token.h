// The calling thread's or a process's access token: single privileges on and
// off, whether a privilege is held, and the token's user, owner and groups.
#pragma once

#include <windows.h>

#include <string>

#include "runtime/owners.h"
#include "security/sid.h"

// Switches one privilege of the current thread's (else the process's) token.
// Fails, with 1300, when the token does not hold it.
void setPrivilege(const std::wstring& name, bool enable);
// Switches one privilege on.
void enablePrivilege(const std::wstring& name);
// The token holds the privilege, enabled or not.
bool hasPrivilege(const std::wstring& name);

// Token user (TokenUser) and default owner (TokenOwner). For the current
// process the impersonation token of the calling thread wins.
AccountSid tokenUser(HANDLE process = GetCurrentProcess());
AccountSid tokenOwner(HANDLE process = GetCurrentProcess());
// The token's groups (TokenGroups).
UniqueMallocPtr<TOKEN_GROUPS> tokenGroups(HANDLE process = GetCurrentProcess());

// The record of one information class of an open token.
UniqueMallocPtr<BYTE> queryTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass);

// For its lifetime the calling thread acts through a private copy of its
// token (its impersonation token, else the process token), so privileges
// switched meanwhile change nothing that the caller or another thread sees;
// the thread's own token comes back on every way out.
class PrivateThreadToken {
public:
    PrivateThreadToken();
    ~PrivateThreadToken();
    PrivateThreadToken(const PrivateThreadToken&) = delete;
    PrivateThreadToken& operator=(const PrivateThreadToken&) = delete;

private:
    UniqueHandle previous_;  // the thread's impersonation token, if it had one
};
