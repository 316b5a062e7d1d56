// Security identifiers: the light VSID used to build descriptors, the
// AccountSid that also carries the account's name, domain and kind, and the
// process-wide account resolver consulted before the local security authority.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "runtime/owners.h"

// A SID block, either from AllocateAndInitializeSid or a private copy.
class VSID {
public:
    VSID() noexcept = default;
    // A private copy; an invalid or null source gives an empty VSID.
    explicit VSID(PSID sid);
    VSID(const VSID& other);
    VSID(VSID&& other) noexcept = default;
    VSID& operator=(VSID other) noexcept;
    ~VSID() = default;

    static VSID everyone();  // S-1-1-0
    static VSID admins();    // S-1-5-32-544
    static VSID system();    // S-1-5-18

    PSID get() const noexcept { return allocated_ ? allocated_.get() : copied_.get(); }
    bool empty() const noexcept { return get() == nullptr; }

private:
    // At most one of the two holds the block; which one is the origin.
    UniqueAllocatedSid allocated_;
    UniqueMallocPtr<void> copied_;
};

// A privately held SID with the account's name, domain and kind, looked up
// on first request.
class AccountSid {
public:
    AccountSid() noexcept = default;
    // Raises "Invalid sid" for an invalid source; null gives an empty value.
    explicit AccountSid(PSID sid);
    AccountSid(const AccountSid& other);
    AccountSid(AccountSid&& other) noexcept = default;
    AccountSid& operator=(const AccountSid& other);
    AccountSid& operator=(AccountSid&& other) noexcept = default;
    ~AccountSid() = default;

    // Releases the held SID, forgets the looked-up kind and copies sid.
    void assign(PSID sid);

    // count (at most 8) sub-authorities of the authority.
    static AccountSid fromAuthority(const SID_IDENTIFIER_AUTHORITY& authority, BYTE count, DWORD sub0 = 0,
                                    DWORD sub1 = 0, DWORD sub2 = 0, DWORD sub3 = 0, DWORD sub4 = 0,
                                    DWORD sub5 = 0, DWORD sub6 = 0, DWORD sub7 = 0);
    static AccountSid system();
    static AccountSid everyone();
    static AccountSid admins();
    // The local account domain's SID with rid appended.
    static AccountSid fromDomainRid(DWORD rid);

    // Looks up domain\name (domain defaults to the local account domain),
    // then the name in the built-in and the NT authority domains. True when
    // found; then this value holds the SID, name, domain and kind.
    bool fromName(const std::wstring& domain, const std::wstring& name, bool raiseIfMissing);

    const std::wstring& name();
    const std::wstring& domain();
    SID_NAME_USE use() const noexcept { return use_; }

    PSID get() const noexcept { return sid_.get(); }
    bool empty() const noexcept { return !sid_; }

private:
    void lookup();

    UniqueMallocPtr<void> sid_;
    std::wstring name_;
    std::wstring domain_;
    SID_NAME_USE use_ = SidTypeUnknown;
};

// Domain of the Local System and of the Administrators account names as this
// system spells them.
std::wstring systemDomainName();
std::wstring adminsDomainName();
// The SID maps to an account (a name too long for the lookup buffers counts).
bool sidIsKnown(PSID sid);
// Name of the local account domain, computed once per process.
std::wstring accountDomainName();
// name alone for an empty domain, else domain\name.
std::wstring qualifiedName(const std::wstring& domain, const std::wstring& name);

// An account as a resolver knows it.
struct ResolvedAccount {
    std::vector<BYTE> sid;
    std::wstring name;
    std::wstring domain;
    SID_NAME_USE use = SidTypeUnknown;
};

// Answers account lookups before (first attempt) and after (second attempt)
// the local security authority has been asked.
class AccountResolver {
public:
    virtual ~AccountResolver() = default;
    // name, domain and kind of sid.
    virtual bool lookupSid(PSID sid, bool secondAttempt, std::wstring& name, std::wstring& domain,
                           SID_NAME_USE& use) = 0;
    // The account of a qualified name ("domain\name" or "name").
    virtual bool lookupName(const std::wstring& qualifiedName, bool secondAttempt, ResolvedAccount& account) = 0;
    // The security authority has just mapped qualifiedName to account.
    virtual bool newMapping(const std::wstring& qualifiedName, const ResolvedAccount& account) = 0;
};

// The process-wide resolver stack. Installing pushes the current resolver;
// removing brings the one installed before back. The caller keeps ownership.
void installAccountResolver(AccountResolver* resolver);
void removeAccountResolver();

// The registry's three queries; false when no resolver is installed.
bool resolverLookupSid(PSID sid, bool secondAttempt, std::wstring& name, std::wstring& domain, SID_NAME_USE& use);
bool resolverLookupName(const std::wstring& qualifiedName, bool secondAttempt, ResolvedAccount& account);
bool resolverNewMapping(const std::wstring& qualifiedName, const ResolvedAccount& account);

// Installs a resolver for a scope.
class AccountResolverScope {
public:
    explicit AccountResolverScope(AccountResolver& resolver) { installAccountResolver(&resolver); }
    ~AccountResolverScope() { removeAccountResolver(); }
    AccountResolverScope(const AccountResolverScope&) = delete;
    AccountResolverScope& operator=(const AccountResolverScope&) = delete;
};
