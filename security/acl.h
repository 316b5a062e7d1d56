// Discretionary access-control lists: editing existing lists (Acl, Ace and a
// named object's owner and DACL) and building new descriptors from a
// declarative list (AclSpec, SecurityDescriptor).
#pragma once

#include <windows.h>
#include <aclapi.h>

#include <cstddef>
#include <string>
#include <vector>

#include "runtime/owners.h"
#include "security/sid.h"

// One ACE block built from its parts. Types 0-3 and their object variants
// 5-8 (object fields zero); any other raises "Unsupported ACE type (%d)".
class Ace {
public:
    Ace(BYTE type, BYTE flags, ACCESS_MASK mask, PSID sid);
    Ace(const Ace& other);
    Ace(Ace&& other) noexcept = default;
    Ace& operator=(Ace other) noexcept;

    ACE_HEADER* get() const noexcept { return block_.get(); }
    WORD size() const noexcept { return block_.get()->AceSize; }

private:
    UniqueMallocPtr<ACE_HEADER> block_;
};

// Offset of the SID inside an ACE of type; raises for unsupported types.
DWORD aceSidOffset(BYTE type);
// The SID of an ACE of a supported type.
PSID aceSid(const ACE_HEADER* ace);
// The mask of an ACE of a supported type (the field after the header).
ACCESS_MASK aceMask(const ACE_HEADER* ace);
// Same type, same bytes up to the SID, equal SIDs.
bool aceEqual(const ACE_HEADER* left, const ACE_HEADER* right);
// Generic read/write/execute/all bits replaced by the file rights.
ACCESS_MASK mapGenericFileRights(ACCESS_MASK mask);

// An ACL block of revision 2, released with free. An Acl copied from a null
// DACL is null (no list at all); editing it starts an empty list.
class Acl {
public:
    // An empty list.
    Acl();
    // A copy of block; null gives a null Acl.
    explicit Acl(const ACL* block);
    Acl(const Acl& other);
    Acl(Acl&& other) noexcept = default;
    Acl& operator=(Acl other) noexcept;

    PACL get() const noexcept { return block_.get(); }
    bool isNull() const noexcept { return !block_; }
    DWORD count() const noexcept { return block_ ? block_.get()->AceCount : 0; }
    // Entry index; raises "Unable to get ACL ACE" when out of range.
    ACE_HEADER* ace(DWORD index) const;

    // First entry at or after start whose SID equals sid, or -1.
    int findAce(PSID sid, int start = 0) const;
    // Every entry of other, in order, each at its canonical position.
    void appendAll(const ACL* other);
    // Each entry at its canonical position unless an equal one is present.
    void addUnlessPresent(const Ace* aces, std::size_t count);
    // One entry at its canonical position.
    void add(const ACE_HEADER* ace);
    // Every entry of sid; with denyOnly only its deny entries.
    void removeSid(PSID sid, bool denyOnly);
    // Every entry whose SID maps to no account.
    void removeUnknownSids();
    // Generic rights mapped to file rights, entries merged, none inherited.
    void mapGeneric();

private:
    void ensureList();
    void grow(DWORD needed);
    void insertAt(DWORD index, const ACE_HEADER* ace);

    UniqueMallocPtr<ACL> block_;
};

// Owner of a named object set to the current token's owner (taking
// SeTakeOwnershipPrivilege when the token holds it).
void takeOwnership(const std::wstring& path, SE_OBJECT_TYPE objectType = SE_FILE_OBJECT);
// Copy of a named object's DACL.
Acl readObjectDacl(const std::wstring& path, SE_OBJECT_TYPE objectType = SE_FILE_OBJECT);
// Writes acl, without entries of orphaned SIDs, as the object's protected DACL;
// takes ownership and retries once when access is denied.
void writeObjectDacl(const std::wstring& path, SE_OBJECT_TYPE objectType, const Acl& acl);

// The SIDs a token acts for, as the force step sees them.
struct TokenIdentity {
    PSID owner;
    PSID user;
    std::vector<PSID> groups;
};
// The force step's new DACL from an entry's old one (null for none): mask
// allowed to Local System, then to the owner, then the old entries with
// their generic rights mapped and none inherited, each at its canonical
// place, less every deny entry of the user, the owner, a group or Local
// System.
Acl forcedDacl(const ACL* old, const TokenIdentity& identity, ACCESS_MASK mask);

// One entry of a declarative list. For kind 1 the trustee points at the
// entry's own sid.
struct AclSpecEntry {
    enum Kind { Access = 1, Owner = 2, Group = 4 };

    AclSpecEntry(int kind, const VSID& sid);
    AclSpecEntry(const AclSpecEntry& other);
    AclSpecEntry& operator=(const AclSpecEntry& other);

    int kind;
    VSID sid;
    EXPLICIT_ACCESS_W access;

private:
    void pointTrustee();
};

// An ordered list of explicit-access, owner and group entries.
class AclSpec {
public:
    AclSpec() = default;

    // SET_ACCESS of mask, inherited by objects and containers (3).
    static AclSpec access(const VSID& sid, ACCESS_MASK mask, bool isGroup);
    static AclSpec access(const VSID& sid, ACCESS_MASK mask, DWORD inheritance, bool isGroup);
    static AclSpec owner(const VSID& sid);
    static AclSpec group(const VSID& sid);

    // The entries of this list, then those of right.
    AclSpec operator+(const AclSpec& right) const;

    const std::vector<AclSpecEntry>& entries() const noexcept { return entries_; }

private:
    std::vector<AclSpecEntry> entries_;
};

// A DACL, a self-contained descriptor and the SECURITY_ATTRIBUTES for object
// creation, made from an AclSpec.
class SecurityDescriptor {
public:
    SecurityDescriptor(const AclSpec& list, bool inheritHandle);
    SecurityDescriptor(const SecurityDescriptor&) = delete;
    SecurityDescriptor& operator=(const SecurityDescriptor&) = delete;

    PACL dacl() const noexcept { return dacl_.get(); }
    PSECURITY_DESCRIPTOR descriptor() const noexcept { return descriptor_.get(); }
    SECURITY_ATTRIBUTES* attributes() noexcept { return &attributes_; }

private:
    // The descriptor points at its owner and group: it keeps its own copies.
    VSID owner_;
    VSID group_;
    UniqueLocalPtr<ACL> dacl_;
    UniqueLocalPtr<void> descriptor_;
    SECURITY_ATTRIBUTES attributes_;
};
