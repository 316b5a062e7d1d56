#include "security/acl.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "runtime/exceptions.h"
#include "runtime/pathtext.h"
#include "security/token.h"

using RunTime::throwRuntimeError;

namespace {

constexpr DWORD kSidOffset = 8;         // header, mask
constexpr DWORD kObjectSidOffset = 44;  // header, mask, flags, two GUIDs
constexpr DWORD kMaxAclSize = 0xFFFC;   // AclSize is a WORD; keep it DWORD-aligned

// Rank of an entry in a canonical list: explicit deny, explicit allow,
// then the same for inherited entries; -1 for a type with no place.
int canonicalRank(const ACE_HEADER* ace) {
    int rank;
    switch (ace->AceType) {
    case ACCESS_DENIED_ACE_TYPE: rank = 0; break;
    case ACCESS_DENIED_OBJECT_ACE_TYPE: rank = 1; break;
    case ACCESS_ALLOWED_ACE_TYPE: rank = 2; break;
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE: rank = 3; break;
    default: return -1;
    }
    return (ace->AceFlags & INHERITED_ACE) ? rank + 4 : rank;
}

std::wstring objectName(const std::wstring& path) { return VFileName::stripLongPathPrefix(path); }

// SetNamedSecurityInfoW takes the name as a writable string.
std::vector<wchar_t> writableName(const std::wstring& path) {
    return std::vector<wchar_t>(path.c_str(), path.c_str() + path.size() + 1);
}

}  // namespace

// ---- entries

DWORD aceSidOffset(BYTE type) {
    if (type <= SYSTEM_ALARM_ACE_TYPE) return kSidOffset;
    if (type >= ACCESS_ALLOWED_OBJECT_ACE_TYPE && type <= SYSTEM_ALARM_OBJECT_ACE_TYPE) return kObjectSidOffset;
    throwRuntimeError(L"Unsupported ACE type (%d)", GetLastError(), static_cast<int>(type));
}

PSID aceSid(const ACE_HEADER* ace) {
    return const_cast<BYTE*>(reinterpret_cast<const BYTE*>(ace) + aceSidOffset(ace->AceType));
}

ACCESS_MASK aceMask(const ACE_HEADER* ace) {
    ACCESS_MASK mask;
    std::memcpy(&mask, reinterpret_cast<const BYTE*>(ace) + sizeof(ACE_HEADER), sizeof mask);
    return mask;
}

bool aceEqual(const ACE_HEADER* left, const ACE_HEADER* right) {
    if (left->AceType != right->AceType) return false;
    DWORD offset = aceSidOffset(left->AceType);
    const BYTE* l = reinterpret_cast<const BYTE*>(left);
    const BYTE* r = reinterpret_cast<const BYTE*>(right);
    return std::memcmp(l + 1, r + 1, offset - 1) == 0 && EqualSid(aceSid(left), aceSid(right));
}

ACCESS_MASK mapGenericFileRights(ACCESS_MASK mask) {
    if (mask & GENERIC_READ) mask = (mask & ~GENERIC_READ) | FILE_GENERIC_READ;
    if (mask & GENERIC_WRITE) mask = (mask & ~GENERIC_WRITE) | FILE_GENERIC_WRITE;
    if (mask & GENERIC_EXECUTE) mask = (mask & ~GENERIC_EXECUTE) | FILE_GENERIC_EXECUTE;
    if (mask & GENERIC_ALL) mask = (mask & ~GENERIC_ALL) | FILE_ALL_ACCESS;
    return mask;
}

Ace::Ace(BYTE type, BYTE flags, ACCESS_MASK mask, PSID sid) {
    DWORD offset = aceSidOffset(type);
    DWORD sidLength = GetLengthSid(sid);
    DWORD size = offset + sidLength;
    block_.reset(static_cast<ACE_HEADER*>(std::calloc(1, size)));
    if (!block_) throwRuntimeError(L"Unable to allocate ACE", GetLastError());
    BYTE* bytes = reinterpret_cast<BYTE*>(block_.get());
    if (!CopySid(sidLength, bytes + offset, sid)) throwRuntimeError(L"Unable to copy SID", GetLastError());
    block_.get()->AceType = type;
    block_.get()->AceFlags = flags;
    block_.get()->AceSize = static_cast<WORD>(size);
    std::memcpy(bytes + sizeof(ACE_HEADER), &mask, sizeof mask);
}

Ace::Ace(const Ace& other) {
    WORD size = other.size();
    block_.reset(static_cast<ACE_HEADER*>(std::malloc(size)));
    if (!block_) throwRuntimeError(L"Unable to allocate ACE", GetLastError());
    std::memcpy(block_.get(), other.get(), size);
}

Ace& Ace::operator=(Ace other) noexcept {
    block_ = std::move(other.block_);
    return *this;
}

// ---- Acl

Acl::Acl() { ensureList(); }

Acl::Acl(const ACL* block) {
    if (!block) return;
    block_.reset(static_cast<ACL*>(std::malloc(block->AclSize)));
    if (!block_) throwRuntimeError(L"Unable to allocate new ACL", GetLastError());
    std::memcpy(block_.get(), block, block->AclSize);
}

Acl::Acl(const Acl& other) : Acl(other.get()) {}

Acl& Acl::operator=(Acl other) noexcept {
    block_ = std::move(other.block_);
    return *this;
}

void Acl::ensureList() {
    if (block_) return;
    UniqueMallocPtr<ACL> block(static_cast<ACL*>(std::malloc(sizeof(ACL))));
    if (!block) throwRuntimeError(L"Unable to allocate new ACL", GetLastError());
    if (!InitializeAcl(block.get(), sizeof(ACL), ACL_REVISION))
        throwRuntimeError(L"Unable to initialize ACL", GetLastError());
    block_ = std::move(block);
}

ACE_HEADER* Acl::ace(DWORD index) const {
    void* entry = nullptr;
    if (!block_ || !GetAce(block_.get(), index, &entry)) throwRuntimeError(L"Unable to get ACL ACE", GetLastError());
    return static_cast<ACE_HEADER*>(entry);
}

int Acl::findAce(PSID sid, int start) const {
    for (DWORD i = start < 0 ? 0 : static_cast<DWORD>(start); i < count(); ++i)
        if (EqualSid(aceSid(ace(i)), sid)) return static_cast<int>(i);
    return -1;
}

void Acl::grow(DWORD needed) {
    ensureList();
    ACL_SIZE_INFORMATION info;
    if (!GetAclInformation(block_.get(), &info, sizeof info, AclSizeInformation))
        throwRuntimeError(L"Unable to get ACL size", GetLastError());
    DWORD total = info.AclBytesInUse + needed;
    if (total <= block_.get()->AclSize) return;
    // Doubling keeps a run of additions from copying the list every time.
    DWORD size = total * 2;
    if (size > kMaxAclSize && total <= kMaxAclSize) size = kMaxAclSize;
    UniqueMallocPtr<ACL> block(static_cast<ACL*>(std::malloc(size)));
    if (!block) throwRuntimeError(L"Unable to allocate new ACL", GetLastError());
    if (!InitializeAcl(block.get(), size, ACL_REVISION)) throwRuntimeError(L"Unable to initialize ACL", GetLastError());
    for (DWORD i = 0; i < count(); ++i) {
        void* entry = nullptr;
        if (!GetAce(block_.get(), i, &entry)) throwRuntimeError(L"Unable to get ACL ACE", GetLastError());
        if (!AddAce(block.get(), ACL_REVISION, MAXDWORD, entry, static_cast<ACE_HEADER*>(entry)->AceSize))
            throwRuntimeError(L"Unable to add ACE to ACL", GetLastError());
    }
    block_ = std::move(block);
}

// Wine's AddAce appends whatever the index, so the entry is appended and
// then rotated into place, which gives the same list everywhere.
void Acl::insertAt(DWORD index, const ACE_HEADER* entry) {
    BYTE* front = nullptr;
    if (index < count()) front = reinterpret_cast<BYTE*>(ace(index));
    if (!AddAce(block_.get(), ACL_REVISION, MAXDWORD, const_cast<ACE_HEADER*>(entry), entry->AceSize))
        throwRuntimeError(L"Unable to add ACE to ACL", GetLastError());
    if (!front) return;
    BYTE* appended = reinterpret_cast<BYTE*>(ace(count() - 1));
    std::rotate(front, appended, appended + entry->AceSize);
}

void Acl::add(const ACE_HEADER* entry) {
    int rank = canonicalRank(entry);
    if (rank < 0) throwRuntimeError(L"Invalid ACE type", ERROR_INVALID_PARAMETER);
    grow(entry->AceSize);
    DWORD position = MAXDWORD;
    for (DWORD i = 0; i < count(); ++i) {
        int existing = canonicalRank(ace(i));
        if (existing < 0) throwRuntimeError(L"Unsupported ACE type in ACL", ERROR_INVALID_PARAMETER);
        if (existing >= rank) {
            position = i;
            break;
        }
    }
    insertAt(position, entry);
}

void Acl::appendAll(const ACL* other) {
    if (!other) return;
    // A copy, so that appending a list to itself reads a stable source.
    Acl source(other);
    for (DWORD i = 0; i < source.count(); ++i) add(source.ace(i));
}

void Acl::addUnlessPresent(const Ace* aces, std::size_t count) {
    DWORD needed = 0;
    for (std::size_t i = 0; i < count; ++i) needed += aces[i].size();
    grow(needed);
    for (std::size_t i = 0; i < count; ++i) {
        bool present = false;
        for (DWORD j = 0; j < this->count() && !present; ++j) present = aceEqual(ace(j), aces[i].get());
        if (!present) add(aces[i].get());
    }
}

void Acl::removeSid(PSID sid, bool denyOnly) {
    int i = findAce(sid, 0);
    while (i != -1) {
        BYTE type = ace(static_cast<DWORD>(i))->AceType;
        if (denyOnly && type != ACCESS_DENIED_ACE_TYPE && type != ACCESS_DENIED_OBJECT_ACE_TYPE) {
            ++i;
        } else if (!DeleteAce(block_.get(), static_cast<DWORD>(i))) {
            throwRuntimeError(L"Unable to delete ACL ACE (%d)", GetLastError(), i);
        }
        i = findAce(sid, i);
    }
}

void Acl::removeUnknownSids() {
    DWORD i = 0;
    while (i < count()) {
        if (sidIsKnown(aceSid(ace(i)))) {
            ++i;
        } else if (!DeleteAce(block_.get(), i)) {
            throwRuntimeError(L"Unable to delete ACL ACE (%d)", GetLastError(), static_cast<int>(i));
        }
    }
}

// Entries equal but for their flags become one entry at the place of the
// first, in the original order (so deny entries stay ahead of the allow
// entries they override). Its flags are the union of theirs, except that it
// is inherit-only only when all of them were: an entry that applied to the
// object keeps applying. The inherited flag goes, so the list can be written
// back as an explicit, protected DACL.
void Acl::mapGeneric() {
    if (!block_) return;
    std::vector<Ace> merged;
    for (DWORD i = 0; i < count(); ++i) {
        const ACE_HEADER* entry = ace(i);
        Ace mapped(entry->AceType, entry->AceFlags, mapGenericFileRights(aceMask(entry)), aceSid(entry));
        DWORD offset = aceSidOffset(entry->AceType);
        // Object fields come with the entry; the builder left them zero.
        std::memcpy(reinterpret_cast<BYTE*>(mapped.get()) + sizeof(ACE_HEADER) + sizeof(ACCESS_MASK),
                    reinterpret_cast<const BYTE*>(entry) + sizeof(ACE_HEADER) + sizeof(ACCESS_MASK),
                    offset - sizeof(ACE_HEADER) - sizeof(ACCESS_MASK));
        BYTE flags = mapped.get()->AceFlags;
        mapped.get()->AceFlags = 0;
        bool found = false;
        for (Ace& kept : merged) {
            BYTE keptFlags = kept.get()->AceFlags;
            kept.get()->AceFlags = 0;
            bool same = aceEqual(kept.get(), mapped.get());
            kept.get()->AceFlags = keptFlags;
            if (!same) continue;
            BYTE inheritOnly = static_cast<BYTE>(keptFlags & flags & INHERIT_ONLY_ACE);
            kept.get()->AceFlags = static_cast<BYTE>(((keptFlags | flags) & ~INHERIT_ONLY_ACE) | inheritOnly);
            found = true;
            break;
        }
        mapped.get()->AceFlags = flags;
        if (!found) merged.push_back(mapped);
    }
    DWORD size = sizeof(ACL);
    for (Ace& entry : merged) {
        entry.get()->AceFlags = static_cast<BYTE>(entry.get()->AceFlags & ~INHERITED_ACE);
        size += entry.size();
    }
    UniqueMallocPtr<ACL> block(static_cast<ACL*>(std::malloc(size)));
    if (!block) throwRuntimeError(L"Unable to allocate new ACL", GetLastError());
    if (!InitializeAcl(block.get(), size, ACL_REVISION)) throwRuntimeError(L"Unable to initialize ACL", GetLastError());
    for (const Ace& entry : merged)
        if (!AddAce(block.get(), ACL_REVISION, MAXDWORD, entry.get(), entry.size()))
            throwRuntimeError(L"Unable to add ACE to ACL", GetLastError());
    block_ = std::move(block);
}

// ---- named objects

void takeOwnership(const std::wstring& path, SE_OBJECT_TYPE objectType) {
    if (hasPrivilege(SE_TAKE_OWNERSHIP_NAME)) enablePrivilege(SE_TAKE_OWNERSHIP_NAME);
    AccountSid owner = tokenOwner(GetCurrentProcess());
    std::vector<wchar_t> name = writableName(path);
    DWORD result =
        SetNamedSecurityInfoW(name.data(), objectType, OWNER_SECURITY_INFORMATION, owner.get(), nullptr, nullptr, nullptr);
    if (result != ERROR_SUCCESS)
        throwRuntimeError(L"Unable to set the object (%s) owner", result, objectName(path).c_str());
}

Acl readObjectDacl(const std::wstring& path, SE_OBJECT_TYPE objectType) {
    PACL dacl = nullptr;
    UniqueLocalPtr<void> descriptor;
    DWORD result = GetNamedSecurityInfoW(path.c_str(), objectType, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                         nullptr, descriptor.put());
    if (result != ERROR_SUCCESS)
        throwRuntimeError(L"Unable to get the object (%s) security info", result, objectName(path).c_str());
    return Acl(dacl);
}

void writeObjectDacl(const std::wstring& path, SE_OBJECT_TYPE objectType, const Acl& acl) {
    Acl known(acl);
    known.removeUnknownSids();
    std::vector<wchar_t> name = writableName(path);
    const SECURITY_INFORMATION what = PROTECTED_DACL_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD result = SetNamedSecurityInfoW(name.data(), objectType, what, nullptr, nullptr, known.get(), nullptr);
    if (result == ERROR_ACCESS_DENIED) {
        takeOwnership(path, objectType);
        result = SetNamedSecurityInfoW(name.data(), objectType, what, nullptr, nullptr, known.get(), nullptr);
    }
    if (result != ERROR_SUCCESS)
        throwRuntimeError(L"Unable to set the object (%s) security info", result, objectName(path).c_str());
}

Acl forcedDacl(const ACL* old, const TokenIdentity& identity, ACCESS_MASK mask) {
    Acl kept(old);
    kept.mapGeneric();
    const AccountSid system = AccountSid::system();
    for (PSID group : identity.groups) kept.removeSid(group, true);
    kept.removeSid(identity.user, true);
    if (!EqualSid(identity.owner, identity.user)) kept.removeSid(identity.owner, true);
    kept.removeSid(system.get(), true);

    const BYTE inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    Acl granted;
    granted.add(Ace(ACCESS_ALLOWED_ACE_TYPE, inherit, mask, identity.owner).get());
    granted.add(Ace(ACCESS_ALLOWED_ACE_TYPE, inherit, mask, system.get()).get());
    granted.appendAll(kept.get());
    return granted;
}

// ---- declarative lists

AclSpecEntry::AclSpecEntry(int kind, const VSID& sid) : kind(kind), sid(sid), access() { pointTrustee(); }

AclSpecEntry::AclSpecEntry(const AclSpecEntry& other) : kind(other.kind), sid(other.sid), access(other.access) {
    pointTrustee();
}

AclSpecEntry& AclSpecEntry::operator=(const AclSpecEntry& other) {
    kind = other.kind;
    sid = other.sid;
    access = other.access;
    pointTrustee();
    return *this;
}

void AclSpecEntry::pointTrustee() {
    access.Trustee.pMultipleTrustee = nullptr;
    access.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.ptstrName = static_cast<LPWSTR>(sid.get());
}

AclSpec AclSpec::access(const VSID& sid, ACCESS_MASK mask, bool isGroup) {
    return access(sid, mask, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, isGroup);
}

AclSpec AclSpec::access(const VSID& sid, ACCESS_MASK mask, DWORD inheritance, bool isGroup) {
    AclSpecEntry entry(AclSpecEntry::Access, sid);
    entry.access.grfAccessPermissions = mask;
    entry.access.grfAccessMode = SET_ACCESS;
    entry.access.grfInheritance = inheritance;
    entry.access.Trustee.TrusteeType = isGroup ? TRUSTEE_IS_GROUP : TRUSTEE_IS_USER;
    AclSpec list;
    list.entries_.push_back(entry);
    return list;
}

AclSpec AclSpec::owner(const VSID& sid) {
    AclSpec list;
    list.entries_.push_back(AclSpecEntry(AclSpecEntry::Owner, sid));
    return list;
}

AclSpec AclSpec::group(const VSID& sid) {
    AclSpec list;
    list.entries_.push_back(AclSpecEntry(AclSpecEntry::Group, sid));
    return list;
}

AclSpec AclSpec::operator+(const AclSpec& right) const {
    AclSpec result(*this);
    result.entries_.insert(result.entries_.end(), right.entries_.begin(), right.entries_.end());
    return result;
}

SecurityDescriptor::SecurityDescriptor(const AclSpec& list, bool inheritHandle) : attributes_() {
    const char* const function = "SecurityDescriptor::SecurityDescriptor";
    std::size_t accessCount = 0;
    const AclSpecEntry* owner = nullptr;
    const AclSpecEntry* group = nullptr;
    for (const AclSpecEntry& entry : list.entries()) {
        if (entry.kind == AclSpecEntry::Access) ++accessCount;
        if (entry.kind == AclSpecEntry::Owner) owner = &entry;
        if (entry.kind == AclSpecEntry::Group) group = &entry;
    }

    {
        std::vector<EXPLICIT_ACCESS_W> accesses;
        try {
            accesses.reserve(accessCount);
        } catch (const std::bad_alloc&) {
            throw std::overflow_error("Out of memory");
        }
        for (const AclSpecEntry& entry : list.entries())
            if (entry.kind == AclSpecEntry::Access) accesses.push_back(entry.access);
        DWORD result = SetEntriesInAclW(static_cast<ULONG>(accesses.size()), accesses.empty() ? nullptr : accesses.data(),
                                        nullptr, dacl_.put());
        if (result != ERROR_SUCCESS) throwOSError(L"SetEntriesInAcl", result, VLOCATION_AT(function, 1131));
    }

    descriptor_.reset(LocalAlloc(LMEM_FIXED, SECURITY_DESCRIPTOR_MIN_LENGTH));
    if (!descriptor_) throw vexception(L"Out of memory", VLOCATION_AT(function, 1138));
    if (!InitializeSecurityDescriptor(descriptor_.get(), SECURITY_DESCRIPTOR_REVISION))
        throwOSError(L"InitializeSecurityDescriptor", GetLastError(), VLOCATION_AT(function, 1145));
    if (!SetSecurityDescriptorDacl(descriptor_.get(), TRUE, dacl_.get(), FALSE))
        throwOSError(L"SetSecurityDescriptorDacl", GetLastError(), VLOCATION_AT(function, 1152));
    if (owner) {
        owner_ = owner->sid;
        if (!SetSecurityDescriptorOwner(descriptor_.get(), owner_.get(), FALSE))
            throwOSError(L"SetSecurityDescriptorOwner", GetLastError(), VLOCATION_AT(function, 1158));
    }
    if (group) {
        group_ = group->sid;
        if (!SetSecurityDescriptorGroup(descriptor_.get(), group_.get(), FALSE))
            throwOSError(L"SetSecurityDescriptorGroup", GetLastError(), VLOCATION_AT(function, 1171));
    }
    attributes_.nLength = sizeof(SECURITY_ATTRIBUTES);
    attributes_.lpSecurityDescriptor = descriptor_.get();
    attributes_.bInheritHandle = inheritHandle;
}
