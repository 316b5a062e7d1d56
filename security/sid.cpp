#include "security/sid.h"

#include <lm.h>

#include <cstdlib>
#include <cstring>

#include "runtime/exceptions.h"

using RunTime::throwRuntimeError;

// A buffer handed out by the network management functions.
using UniqueNetApiBuffer = UniqueAny<void*, &::NetApiBufferFree>;

namespace {

// The account resolver registry: the current resolver, the ones it replaced
// and the local account domain's name, all under one lock.
struct ResolverRegistry {
    CriticalSection lock;
    AccountResolver* current = nullptr;
    std::vector<AccountResolver*> replaced;
    std::wstring domainName;
    bool domainNameKnown = false;
};

ResolverRegistry& resolverRegistry() {
    static ResolverRegistry registry;
    return registry;
}

// A well-known SID of one or two sub-authorities; failures are reported at
// the fixed line of the named constructor.
void allocatedSid(SID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD sub0, DWORD sub1, const char* function,
                  unsigned line, UniqueAllocatedSid& holder) {
    if (!AllocateAndInitializeSid(&authority, count, sub0, sub1, 0, 0, 0, 0, 0, 0, holder.put()))
        throwOSError(L"AllocateAndInitializeSid", GetLastError(), VLOCATION_AT(function, line));
}

}  // namespace

// ---- VSID

VSID::VSID(PSID sid) {
    if (!sid || !IsValidSid(sid)) return;
    DWORD length = GetLengthSid(sid);
    if (length == 0) return;
    UniqueMallocPtr<void> block(std::malloc(length));
    if (!block) throwOutOfMemory();
    if (!CopySid(length, block.get(), sid)) return;
    copied_ = std::move(block);
}

VSID::VSID(const VSID& other) : VSID(other.get()) {}

VSID& VSID::operator=(VSID other) noexcept {
    allocated_ = std::move(other.allocated_);
    copied_ = std::move(other.copied_);
    return *this;
}

VSID VSID::everyone() {
    VSID result;
    allocatedSid(SECURITY_WORLD_SID_AUTHORITY, 1, SECURITY_WORLD_RID, 0, "VSID::everyone", 48, result.allocated_);
    return result;
}

VSID VSID::admins() {
    VSID result;
    allocatedSid(SECURITY_NT_AUTHORITY, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, "VSID::admins", 80,
                 result.allocated_);
    return result;
}

VSID VSID::system() {
    VSID result;
    allocatedSid(SECURITY_NT_AUTHORITY, 1, SECURITY_LOCAL_SYSTEM_RID, 0, "VSID::system", 94, result.allocated_);
    return result;
}

// ---- AccountSid

AccountSid::AccountSid(PSID sid) { assign(sid); }

AccountSid::AccountSid(const AccountSid& other) { *this = other; }

AccountSid& AccountSid::operator=(const AccountSid& other) {
    if (this == &other) return *this;
    assign(other.get());
    name_ = other.name_;
    domain_ = other.domain_;
    use_ = other.use_;
    return *this;
}

void AccountSid::assign(PSID sid) {
    sid_.reset();
    use_ = SidTypeUnknown;
    name_.clear();
    domain_.clear();
    if (!sid) return;
    if (!IsValidSid(sid)) throwRuntimeError(L"Invalid sid", GetLastError());
    DWORD length = GetLengthSid(sid);
    UniqueMallocPtr<void> block(std::malloc(length));
    if (!block) throwRuntimeError(L"Unable to allocate (%d) bytes", GetLastError(), static_cast<int>(length));
    if (!CopySid(length, block.get(), sid)) throwRuntimeError(L"Unable to copy sid", GetLastError());
    sid_ = std::move(block);
}

AccountSid AccountSid::fromAuthority(const SID_IDENTIFIER_AUTHORITY& authority, BYTE count, DWORD sub0, DWORD sub1,
                                     DWORD sub2, DWORD sub3, DWORD sub4, DWORD sub5, DWORD sub6, DWORD sub7) {
    SID_IDENTIFIER_AUTHORITY copy = authority;
    UniqueAllocatedSid sid;
    if (!AllocateAndInitializeSid(&copy, count, sub0, sub1, sub2, sub3, sub4, sub5, sub6, sub7, sid.put()))
        throwRuntimeError(L"Unable to allocate and initialize sid", GetLastError());
    return AccountSid(sid.get());
}

AccountSid AccountSid::system() {
    return fromAuthority(SID_IDENTIFIER_AUTHORITY SECURITY_NT_AUTHORITY, 1, SECURITY_LOCAL_SYSTEM_RID);
}

AccountSid AccountSid::everyone() {
    return fromAuthority(SID_IDENTIFIER_AUTHORITY SECURITY_WORLD_SID_AUTHORITY, 1, SECURITY_WORLD_RID);
}

AccountSid AccountSid::admins() {
    return fromAuthority(SID_IDENTIFIER_AUTHORITY SECURITY_NT_AUTHORITY, 2, SECURITY_BUILTIN_DOMAIN_RID,
                         DOMAIN_ALIAS_RID_ADMINS);
}

AccountSid AccountSid::fromDomainRid(DWORD rid) {
    UniqueNetApiBuffer buffer;
    NET_API_STATUS status = NetUserModalsGet(nullptr, 2, reinterpret_cast<BYTE**>(buffer.put()));
    if (status != NERR_Success) {
        wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = L"";
        DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
        GetComputerNameW(computer, &size);
        throwRuntimeError(L"Unable to get the domain (%s) SID", status, computer);
    }
    PSID domainSid = static_cast<USER_MODALS_INFO_2*>(buffer.get())->usrmod2_domain_id;
    BYTE count = *GetSidSubAuthorityCount(domainSid);
    DWORD length = GetSidLengthRequired(static_cast<UCHAR>(count + 1));
    UniqueMallocPtr<void> block(std::malloc(length));
    if (!block) throwRuntimeError(L"Unable to allocate (%d) bytes", GetLastError(), static_cast<int>(length));
    if (!CopySid(length, block.get(), domainSid)) throwRuntimeError(L"Unable to copy domain sid", GetLastError());
    *GetSidSubAuthorityCount(block.get()) = static_cast<UCHAR>(count + 1);
    *GetSidSubAuthority(block.get(), count) = rid;
    AccountSid result;
    result.sid_ = std::move(block);
    return result;
}

const std::wstring& AccountSid::name() {
    if (name_.empty()) lookup();
    return name_;
}

const std::wstring& AccountSid::domain() {
    if (domain_.empty()) lookup();
    return domain_;
}

void AccountSid::lookup() {
    std::wstring name, domain;
    SID_NAME_USE use = SidTypeUnknown;
    if (resolverLookupSid(get(), false, name, domain, use)) {
        name_ = name;
        domain_ = domain;
        use_ = use;
        return;
    }
    DWORD nameSize = 32, domainSize = 32;
    std::vector<wchar_t> nameBuffer(nameSize), domainBuffer(domainSize);
    BOOL found = LookupAccountSidW(nullptr, get(), nameBuffer.data(), &nameSize, domainBuffer.data(), &domainSize,
                                   &use);
    if (!found && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        nameBuffer.resize(nameSize + 1);
        domainBuffer.resize(domainSize + 1);
        found = LookupAccountSidW(nullptr, get(), nameBuffer.data(), &nameSize, domainBuffer.data(), &domainSize,
                                  &use);
    }
    if (found) {
        name_ = nameBuffer.data();
        domain_ = domainBuffer.data();
        use_ = use;
        return;
    }
    if (resolverLookupSid(get(), true, name, domain, use)) {
        name_ = name;
        domain_ = domain;
        use_ = use;
        return;
    }
    throwRuntimeError(L"Unable to lookup name for SID", ERROR_NONE_MAPPED);
}

bool AccountSid::fromName(const std::wstring& domain, const std::wstring& name, bool raiseIfMissing) {
    sid_.reset();
    use_ = SidTypeUnknown;
    name_.clear();
    domain_.clear();

    const std::wstring candidates[] = {
        qualifiedName(domain.empty() ? accountDomainName() : domain, name),
        qualifiedName(adminsDomainName(), name),
        qualifiedName(systemDomainName(), name),
    };
    auto take = [&](const ResolvedAccount& account) {
        assign(account.sid.empty() ? nullptr : const_cast<BYTE*>(account.sid.data()));
        name_ = account.name.empty() ? name : account.name;
        domain_ = account.domain;
        use_ = account.use;
    };

    ResolvedAccount account;
    for (const std::wstring& candidate : candidates) {
        if (resolverLookupName(candidate, false, account)) {
            take(account);
            return true;
        }
    }

    for (const std::wstring& candidate : candidates) {
        DWORD sidSize = 68, domainSize = 256;
        std::vector<BYTE> sidBuffer(sidSize);
        std::vector<wchar_t> domainBuffer(domainSize);
        SID_NAME_USE use = SidTypeUnknown;
        BOOL found = LookupAccountNameW(nullptr, candidate.c_str(), sidBuffer.data(), &sidSize, domainBuffer.data(),
                                        &domainSize, &use);
        if (!found) {
            if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) continue;
            sidBuffer.resize(sidSize);
            domainBuffer.resize(domainSize + 1);
            found = LookupAccountNameW(nullptr, candidate.c_str(), sidBuffer.data(), &sidSize, domainBuffer.data(),
                                       &domainSize, &use);
            if (!found) {
                DWORD error = GetLastError();
                if (resolverLookupName(candidate, true, account)) {
                    take(account);
                    return true;
                }
                throwRuntimeError(L"Unable to lookup SID for name %s", error, name.c_str());
            }
        }
        account.sid.assign(sidBuffer.begin(), sidBuffer.begin() + GetLengthSid(sidBuffer.data()));
        account.name = name;
        account.domain = domainBuffer.data();
        account.use = use;
        take(account);
        resolverNewMapping(candidate, account);
        return true;
    }
    if (raiseIfMissing) throwRuntimeError(L"Unable to lookup SID for name %s", ERROR_NONE_MAPPED, name.c_str());
    return false;
}

// ---- account names

std::wstring systemDomainName() { return AccountSid::system().domain(); }

std::wstring adminsDomainName() { return AccountSid::admins().domain(); }

bool sidIsKnown(PSID sid) {
    wchar_t name[32], domain[32];
    DWORD nameSize = 32, domainSize = 32;
    SID_NAME_USE use;
    if (LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use)) return true;
    return GetLastError() != ERROR_NONE_MAPPED;
}

std::wstring accountDomainName() {
    ResolverRegistry& registry = resolverRegistry();
    CriticalSectionLock lock(registry.lock);
    if (!registry.domainNameKnown) {
        UniqueNetApiBuffer buffer;
        NET_API_STATUS status = NetUserModalsGet(nullptr, 2, reinterpret_cast<BYTE**>(buffer.put()));
        if (status != NERR_Success) throwRuntimeError(L"Unable to get domain name", status);
        const wchar_t* name = static_cast<USER_MODALS_INFO_2*>(buffer.get())->usrmod2_domain_name;
        registry.domainName = name ? name : L"";
        registry.domainNameKnown = true;
    }
    return registry.domainName;
}

std::wstring qualifiedName(const std::wstring& domain, const std::wstring& name) {
    return domain.empty() ? name : domain + L"\\" + name;
}

// ---- resolver registry

void installAccountResolver(AccountResolver* resolver) {
    ResolverRegistry& registry = resolverRegistry();
    CriticalSectionLock lock(registry.lock);
    registry.replaced.push_back(registry.current);
    registry.current = resolver;
}

void removeAccountResolver() {
    ResolverRegistry& registry = resolverRegistry();
    CriticalSectionLock lock(registry.lock);
    if (registry.replaced.empty()) {
        registry.current = nullptr;
        return;
    }
    registry.current = registry.replaced.back();
    registry.replaced.pop_back();
}

bool resolverLookupSid(PSID sid, bool secondAttempt, std::wstring& name, std::wstring& domain, SID_NAME_USE& use) {
    ResolverRegistry& registry = resolverRegistry();
    CriticalSectionLock lock(registry.lock);
    return registry.current && registry.current->lookupSid(sid, secondAttempt, name, domain, use);
}

bool resolverLookupName(const std::wstring& qualifiedName, bool secondAttempt, ResolvedAccount& account) {
    ResolverRegistry& registry = resolverRegistry();
    CriticalSectionLock lock(registry.lock);
    return registry.current && registry.current->lookupName(qualifiedName, secondAttempt, account);
}

bool resolverNewMapping(const std::wstring& qualifiedName, const ResolvedAccount& account) {
    ResolverRegistry& registry = resolverRegistry();
    CriticalSectionLock lock(registry.lock);
    return registry.current && registry.current->newMapping(qualifiedName, account);
}
