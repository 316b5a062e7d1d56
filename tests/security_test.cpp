#include <gtest/gtest.h>
#include <windows.h>
#include <lm.h>
#include <sddl.h>

#include <cstdlib>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "runtime/exceptions.h"
#include "runtime/owners.h"
#include "runtime/sysobjects.h"
#include "security/acl.h"
#include "security/sid.h"
#include "security/token.h"
#include "testutil.h"

namespace {

std::wstring sidText(PSID sid) {
    UniqueLocalPtr<wchar_t> text;
    if (!sid || !ConvertSidToStringSidW(sid, text.put())) return L"(none)";
    return text.get();
}

// What a RunTime-family failure says, and of which class it was.
struct Raised {
    std::string what;
    bool noneMapped = false;
};
Raised raised(const std::function<void()>& f) {
    try {
        f();
    } catch (const RunTime::NoneMappedException& e) {
        return {e.what(), true};
    } catch (const std::runtime_error& e) {
        return {e.what(), false};
    }
    return {"(nothing raised)", false};
}
bool startsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

// The throwRuntimeError text of a code.
std::string withCode(const std::string& text, DWORD code) {
    return text + ": (" + std::to_string(code) + ") " + testutil::narrow(testutil::systemText(code));
}

// S-1-5-21-1-2-3-rid: a domain no system here knows.
AccountSid orphan(DWORD rid) {
    return AccountSid::fromAuthority(SID_IDENTIFIER_AUTHORITY SECURITY_NT_AUTHORITY, 5, 21, 1, 2, 3, rid);
}

// ---- ACL descriptions for the table-driven cases

struct Entry {
    BYTE type;
    BYTE flags;
    ACCESS_MASK mask;
    char who;  // 'E'veryone, 'A'dmins, 'S'ystem, 'W','X','Y','Z' orphans
    bool operator==(const Entry& o) const {
        return type == o.type && flags == o.flags && mask == o.mask && who == o.who;
    }
};
std::ostream& operator<<(std::ostream& out, const Entry& e) {
    return out << "{" << int(e.type) << "," << std::hex << int(e.flags) << "," << e.mask << std::dec << "," << e.who
               << "}";
}

AccountSid sidOf(char who) {
    switch (who) {
    case 'E': return AccountSid::everyone();
    case 'A': return AccountSid::admins();
    case 'S': return AccountSid::system();
    default: return orphan(static_cast<DWORD>(who));
    }
}
char whoOf(PSID sid) {
    for (char who : {'E', 'A', 'S', 'W', 'X', 'Y', 'Z'})
        if (EqualSid(sid, sidOf(who).get())) return who;
    return '?';
}
Ace aceOf(const Entry& e) { return Ace(e.type, e.flags, e.mask, sidOf(e.who).get()); }

// An Acl holding entries exactly in the given order (no canonical placement).
Acl rawAcl(const std::vector<Entry>& entries) {
    DWORD size = sizeof(ACL);
    std::vector<Ace> aces;
    for (const Entry& e : entries) {
        aces.push_back(aceOf(e));
        size += aces.back().size();
    }
    UniqueMallocPtr<ACL> block(static_cast<ACL*>(std::malloc(size)));
    EXPECT_TRUE(InitializeAcl(block.get(), size, ACL_REVISION));
    for (const Ace& ace : aces) EXPECT_TRUE(AddAce(block.get(), ACL_REVISION, MAXDWORD, ace.get(), ace.size()));
    return Acl(block.get());
}

std::vector<Entry> entriesOf(const ACL* acl) {
    std::vector<Entry> result;
    for (DWORD i = 0; acl && i < acl->AceCount; ++i) {
        void* raw = nullptr;
        GetAce(const_cast<ACL*>(acl), i, &raw);
        const ACE_HEADER* ace = static_cast<ACE_HEADER*>(raw);
        result.push_back({ace->AceType, ace->AceFlags, aceMask(ace), whoOf(aceSid(ace))});
    }
    return result;
}

constexpr BYTE kAllow = ACCESS_ALLOWED_ACE_TYPE, kDeny = ACCESS_DENIED_ACE_TYPE;
constexpr BYTE kAllowObj = ACCESS_ALLOWED_OBJECT_ACE_TYPE, kDenyObj = ACCESS_DENIED_OBJECT_ACE_TYPE;
constexpr BYTE kInh = INHERITED_ACE;

}  // namespace

// ---- SIDs and accounts

TEST(SidTest, WellKnownSidsAndPrivateCopies) {
    EXPECT_EQ(sidText(VSID::everyone().get()), L"S-1-1-0");
    EXPECT_EQ(sidText(VSID::admins().get()), L"S-1-5-32-544");
    EXPECT_EQ(sidText(VSID::system().get()), L"S-1-5-18");
    EXPECT_EQ(sidText(AccountSid::everyone().get()), L"S-1-1-0");
    EXPECT_EQ(sidText(AccountSid::admins().get()), L"S-1-5-32-544");
    EXPECT_EQ(sidText(AccountSid::system().get()), L"S-1-5-18");

    VSID admins = VSID::admins();
    VSID copy(admins);
    EXPECT_NE(copy.get(), admins.get());
    EXPECT_TRUE(EqualSid(copy.get(), admins.get()));
    admins = VSID();  // the copy lives on its own
    EXPECT_EQ(sidText(copy.get()), L"S-1-5-32-544");

    BYTE garbage[16] = {9, 9, 9};
    EXPECT_TRUE(VSID(garbage).empty());
    EXPECT_TRUE(VSID(nullptr).empty());
    EXPECT_TRUE(VSID(VSID()).empty());

    EXPECT_TRUE(startsWith(raised([&] { AccountSid bad(garbage); }).what, "Invalid sid"));
    EXPECT_TRUE(startsWith(raised([] { AccountSid::fromAuthority(SID_IDENTIFIER_AUTHORITY SECURITY_NT_AUTHORITY, 9); }).what,
                           "Unable to allocate and initialize sid"));
}

TEST(SidTest, LocalAccountsResolve) {
    // Wine: the account domain's SID is S-1-5-21-0-0-0; rid 500/501 name the
    // built-in Administrator and Guest.
    AccountSid administrator = AccountSid::fromDomainRid(DOMAIN_USER_RID_ADMIN);
    std::wstring text = sidText(administrator.get());
    EXPECT_EQ(text.substr(0, 9), L"S-1-5-21-");
    EXPECT_EQ(text.substr(text.size() - 4), L"-500");
    EXPECT_EQ(administrator.name(), L"Administrator");
    EXPECT_EQ(administrator.domain(), accountDomainName());
    EXPECT_EQ(AccountSid::fromDomainRid(DOMAIN_USER_RID_GUEST).name(), L"Guest");

    AccountSid system = AccountSid::system();
    EXPECT_EQ(system.name(), L"SYSTEM");
    EXPECT_EQ(system.domain(), systemDomainName());
    EXPECT_EQ(system.use(), SidTypeWellKnownGroup);
    AccountSid admins = AccountSid::admins();
    EXPECT_EQ(admins.name(), L"Administrators");
    EXPECT_EQ(admins.domain(), adminsDomainName());
    EXPECT_EQ(admins.use(), SidTypeAlias);
    AccountSid copy(admins);  // the looked-up names travel with the copy
    EXPECT_EQ(copy.use(), SidTypeAlias);

    EXPECT_TRUE(sidIsKnown(VSID::everyone().get()));
    EXPECT_TRUE(sidIsKnown(administrator.get()));
    EXPECT_FALSE(sidIsKnown(AccountSid::fromDomainRid(54321).get()));
    EXPECT_FALSE(sidIsKnown(orphan(1000).get()));
    EXPECT_FALSE(accountDomainName().empty());
}

TEST(SidTest, FromNameTriesDomainThenBuiltinThenAuthority) {
    wchar_t user[UNLEN + 1];
    DWORD size = UNLEN + 1;
    ASSERT_TRUE(GetUserNameW(user, &size));

    AccountSid account;
    ASSERT_TRUE(account.fromName(L"", user, true));  // the account domain
    EXPECT_TRUE(EqualSid(account.get(), tokenUser().get()));
    EXPECT_EQ(account.use(), SidTypeUser);
    EXPECT_EQ(account.name(), user);

    ASSERT_TRUE(account.fromName(L"", L"Administrators", true));  // the built-in domain
    EXPECT_EQ(sidText(account.get()), L"S-1-5-32-544");
    ASSERT_TRUE(account.fromName(L"", L"SYSTEM", true));  // the NT authority
    EXPECT_EQ(sidText(account.get()), L"S-1-5-18");

    EXPECT_FALSE(account.fromName(L"", L"hvc-no-such-account", false));
    EXPECT_TRUE(account.empty());
    Raised missing = raised([&] { account.fromName(L"", L"hvc-no-such-account", true); });
    EXPECT_TRUE(missing.noneMapped);
    EXPECT_EQ(missing.what, withCode("Unable to lookup SID for name hvc-no-such-account", ERROR_NONE_MAPPED));
}

namespace {

// Knows one made-up account; records what it was asked.
class TestResolver : public AccountResolver {
public:
    explicit TestResolver(bool answerFirst) : answerFirst_(answerFirst), account_(orphan(7777)) {}

    bool lookupSid(PSID sid, bool secondAttempt, std::wstring& name, std::wstring& domain, SID_NAME_USE& use) override {
        sidQueries.push_back(secondAttempt);
        if (!EqualSid(sid, account_.get()) || (!secondAttempt && !answerFirst_)) return false;
        name = L"ghost";
        domain = L"LOST";
        use = SidTypeUser;
        return true;
    }
    bool lookupName(const std::wstring& qualifiedName, bool secondAttempt, ResolvedAccount& account) override {
        nameQueries.push_back(qualifiedName);
        if (qualifiedName != L"LOST\\ghost" || (!secondAttempt && !answerFirst_)) return false;
        const BYTE* bytes = static_cast<const BYTE*>(account_.get());
        account.sid.assign(bytes, bytes + GetLengthSid(account_.get()));
        account.name = L"ghost";
        account.domain = L"LOST";
        account.use = SidTypeUser;
        return true;
    }
    bool newMapping(const std::wstring& qualifiedName, const ResolvedAccount&) override {
        mappings.push_back(qualifiedName);
        return true;
    }

    std::vector<bool> sidQueries;
    std::vector<std::wstring> nameQueries, mappings;

private:
    bool answerFirst_;
    AccountSid account_;
};

}  // namespace

TEST(SidTest, ResolverAnswersBeforeAndAfterTheAuthority) {
    // Without a resolver an unmapped SID has no name.
    Raised unnamed = raised([] { orphan(7777).name(); });
    EXPECT_TRUE(unnamed.noneMapped);
    EXPECT_EQ(unnamed.what, withCode("Unable to lookup name for SID", ERROR_NONE_MAPPED));

    TestResolver late(false);
    {
        AccountResolverScope scope(late);
        AccountSid ghost = orphan(7777);
        EXPECT_EQ(ghost.name(), L"ghost");  // on the second attempt, after the authority failed
        EXPECT_EQ(ghost.domain(), L"LOST");
        EXPECT_EQ(late.sidQueries, (std::vector<bool>{false, true}));

        wchar_t user[UNLEN + 1];
        DWORD size = UNLEN + 1;
        ASSERT_TRUE(GetUserNameW(user, &size));
        AccountSid me;
        ASSERT_TRUE(me.fromName(L"", user, true));  // told of the new mapping
        EXPECT_EQ(late.mappings, std::vector<std::wstring>{qualifiedName(accountDomainName(), user)});
    }

    TestResolver early(true);
    {
        AccountResolverScope outer(late);
        {
            AccountResolverScope inner(early);
            AccountSid ghost;
            ASSERT_TRUE(ghost.fromName(L"LOST", L"ghost", true));  // answered on the first attempt
            EXPECT_EQ(sidText(ghost.get()), L"S-1-5-21-1-2-3-7777");
            EXPECT_EQ(ghost.domain(), L"LOST");
            EXPECT_EQ(early.nameQueries.front(), L"LOST\\ghost");
        }
        // The replaced resolver is current again: it does not answer the first attempt.
        late.nameQueries.clear();
        AccountSid ghost;
        EXPECT_FALSE(ghost.fromName(L"LOST", L"ghost", false));
        EXPECT_EQ(late.nameQueries.size(), 3u);
    }
    EXPECT_TRUE(raised([] { orphan(7777).name(); }).noneMapped);  // none installed any more
}

// ---- Tokens and privileges

namespace {

// Attributes of a privilege in a token, or -1 when it does not hold it.
long privilegeState(HANDLE token, const wchar_t* name) {
    LUID luid;
    if (!LookupPrivilegeValueW(nullptr, name, &luid)) return -1;
    UniqueMallocPtr<BYTE> buffer = queryTokenInformation(token, TokenPrivileges);
    const TOKEN_PRIVILEGES* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.get());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i)
        if (privileges->Privileges[i].Luid.LowPart == luid.LowPart &&
            privileges->Privileges[i].Luid.HighPart == luid.HighPart)
            return static_cast<long>(privileges->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED);
    return -1;
}

UniqueHandle processToken() {
    UniqueHandle token;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put());
    return token;
}

// Impersonates the process for a scope.
struct Impersonation {
    Impersonation() { ok = ImpersonateSelf(SecurityImpersonation); }
    ~Impersonation() { RevertToSelf(); }
    BOOL ok;
};

DWORD osErrorCode(const std::function<void()>& f, std::wstring* fullText) {
    try {
        f();
    } catch (const vosexception& e) {
        *fullText = e.fullText();
        return e.errorCode();
    }
    return 0;
}

}  // namespace

TEST(TokenTest, SetPrivilegeFailures) {
    std::wstring text;
    EXPECT_NE(osErrorCode([] { setPrivilege(L"SeNoSuchPrivilege", true); }, &text), 0u);
    EXPECT_NE(text.find(L" at LookupPrivilegeValue\n   at (setPrivilege line 925)"), std::wstring::npos) << text;

    // A privilege that the token lacks (Wine gives a process most of them).
    const wchar_t* candidates[] = {L"SeTcbPrivilege", L"SeCreateTokenPrivilege", L"SeTrustedCredManAccessPrivilege",
                                   L"SeRelabelPrivilege", L"SeMachineAccountPrivilege", L"SeSyncAgentPrivilege",
                                   L"SeEnableDelegationPrivilege", L"SeUnsolicitedInputPrivilege",
                                   L"SeCreateSymbolicLinkPrivilege", L"SeDelegateSessionUserImpersonatePrivilege"};
    const wchar_t* lacking = nullptr;
    for (const wchar_t* name : candidates) {
        LUID luid;
        if (LookupPrivilegeValueW(nullptr, name, &luid) && !hasPrivilege(name)) {
            lacking = name;
            break;
        }
    }
    if (!lacking) GTEST_SKIP() << "the token holds every candidate privilege: no 1300 case to provoke";
    std::cout << "privilege the token lacks: " << testutil::narrow(lacking) << "\n";
    EXPECT_EQ(osErrorCode([&] { setPrivilege(lacking, true); }, &text), static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED))
        << testutil::narrow(lacking);
    EXPECT_NE(text.find(L" at AdjustTokenPrivileges\n   at (setPrivilege line 935)"), std::wstring::npos) << text;
    Raised adjust = raised([&] { enablePrivilege(lacking); });
    EXPECT_EQ(adjust.what, withCode("Unable to adjust privilege (" + testutil::narrow(lacking) + ")",
                                    ERROR_NOT_ALL_ASSIGNED));
    EXPECT_TRUE(startsWith(raised([] { hasPrivilege(L"SeNoSuchPrivilege"); }).what,
                           "The privilege (SeNoSuchPrivilege) is not found"));
    EXPECT_TRUE(startsWith(raised([] { enablePrivilege(L"SeNoSuchPrivilege"); }).what,
                           "Unable to find privilege (SeNoSuchPrivilege)"));
}

TEST(TokenTest, HeldPrivilegeSwitchesAndCountsWhenDisabled) {
    const wchar_t* name = SE_BACKUP_NAME;
    UniqueHandle token = processToken();
    ASSERT_NE(privilegeState(token.get(), name), -1) << "the process token lacks SeBackupPrivilege";
    long before = privilegeState(token.get(), name);

    setPrivilege(name, false);
    EXPECT_EQ(privilegeState(token.get(), name), 0);
    EXPECT_TRUE(hasPrivilege(name));  // held, though disabled
    enablePrivilege(name);
    EXPECT_EQ(privilegeState(token.get(), name), SE_PRIVILEGE_ENABLED);
    setPrivilege(name, false);
    EXPECT_EQ(privilegeState(token.get(), name), 0);
    setPrivilege(name, before != 0);
}

TEST(TokenTest, ImpersonatingThreadChangesItsOwnToken) {
    const wchar_t* name = SE_RESTORE_NAME;
    UniqueHandle process = processToken();
    long processBefore = privilegeState(process.get(), name);
    ASSERT_NE(processBefore, -1);
    {
        Impersonation impersonation;
        ASSERT_TRUE(impersonation.ok);
        UniqueHandle thread;
        ASSERT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, thread.put()));
        for (bool enable : {true, false, true}) {
            setPrivilege(name, enable);
            EXPECT_EQ(privilegeState(thread.get(), name), enable ? SE_PRIVILEGE_ENABLED : 0) << enable;
            EXPECT_EQ(privilegeState(process.get(), name), processBefore) << enable;
        }
        // The identity queries read the impersonation token too.
        EXPECT_TRUE(EqualSid(tokenUser().get(), tokenUser(GetCurrentProcess()).get()));
    }
    EXPECT_EQ(privilegeState(process.get(), name), processBefore);
}

TEST(TokenTest, IdentityQueries) {
    wchar_t user[UNLEN + 1];
    DWORD size = UNLEN + 1;
    ASSERT_TRUE(GetUserNameW(user, &size));
    AccountSid me = tokenUser();
    EXPECT_EQ(me.name(), user);
    EXPECT_TRUE(sidIsKnown(tokenOwner().get()));  // Wine: the "None" group, not the user

    // Another process's handle (a real handle to this one) opens its token directly.
    VHandle self(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, GetCurrentProcessId()));
    ASSERT_TRUE(self.valid());
    EXPECT_TRUE(EqualSid(tokenUser(self.get()).get(), me.get()));
    EXPECT_TRUE(startsWith(raised([] { tokenUser(reinterpret_cast<HANDLE>(0x3FFFFFF0)); }).what,
                           "Unable to open process token"));

    UniqueMallocPtr<TOKEN_GROUPS> groups = tokenGroups();
    bool admin = false;
    for (DWORD i = 0; i < groups.get()->GroupCount; ++i)
        admin = admin || EqualSid(groups.get()->Groups[i].Sid, VSID::admins().get());
    EXPECT_TRUE(admin);  // Wine runs every process as a full administrator

    // Records smaller and larger than the first 256-byte attempt.
    UniqueHandle token = processToken();
    bool larger = false;
    for (TOKEN_INFORMATION_CLASS infoClass : {TokenUser, TokenGroups, TokenPrivileges, TokenDefaultDacl}) {
        DWORD needed = 0;
        GetTokenInformation(token.get(), infoClass, nullptr, 0, &needed);
        larger = larger || needed > 256;
        UniqueMallocPtr<BYTE> record = queryTokenInformation(token.get(), infoClass);
        std::vector<BYTE> direct(needed);
        ASSERT_TRUE(GetTokenInformation(token.get(), infoClass, direct.data(), needed, &needed));
        if (infoClass == TokenPrivileges) {
            EXPECT_EQ(reinterpret_cast<TOKEN_PRIVILEGES*>(record.get())->PrivilegeCount,
                      reinterpret_cast<TOKEN_PRIVILEGES*>(direct.data())->PrivilegeCount);
        }
        if (infoClass == TokenGroups) {
            EXPECT_EQ(reinterpret_cast<TOKEN_GROUPS*>(record.get())->GroupCount,
                      reinterpret_cast<TOKEN_GROUPS*>(direct.data())->GroupCount);
        }
    }
    EXPECT_TRUE(larger) << "no record outgrows the first attempt here";
}

// ---- Editing ACLs in memory

TEST(AclTest, CanonicalPlacement) {
    const struct {
        const char* name;
        std::vector<Entry> before;
        Entry added;
        std::vector<Entry> after;
    } cases[] = {
        {"into an empty list", {}, {kDeny, 0, 1, 'W'}, {{kDeny, 0, 1, 'W'}}},
        {"explicit allow between explicit deny and inherited allow",
         {{kDeny, 0, 1, 'W'}, {kAllow, kInh, 2, 'X'}},
         {kAllow, 0, 4, 'Y'},
         {{kDeny, 0, 1, 'W'}, {kAllow, 0, 4, 'Y'}, {kAllow, kInh, 2, 'X'}}},
        {"deny ahead of allow", {{kAllow, 0, 1, 'W'}}, {kDeny, 0, 1, 'X'}, {{kDeny, 0, 1, 'X'}, {kAllow, 0, 1, 'W'}}},
        {"inherited deny after explicit allow",
         {{kDeny, 0, 1, 'W'}, {kAllow, 0, 1, 'X'}, {kAllow, kInh, 1, 'Y'}},
         {kDeny, kInh, 1, 'Z'},
         {{kDeny, 0, 1, 'W'}, {kAllow, 0, 1, 'X'}, {kDeny, kInh, 1, 'Z'}, {kAllow, kInh, 1, 'Y'}}},
        {"in front of its own rank",
         {{kAllow, 0, 1, 'W'}, {kAllow, 0, 1, 'X'}},
         {kAllow, 0, 2, 'Y'},
         {{kAllow, 0, 2, 'Y'}, {kAllow, 0, 1, 'W'}, {kAllow, 0, 1, 'X'}}},
        {"object deny between deny and allow",
         {{kDeny, 0, 1, 'W'}, {kAllow, 0, 1, 'X'}},
         {kDenyObj, 0, 1, 'Y'},
         {{kDeny, 0, 1, 'W'}, {kDenyObj, 0, 1, 'Y'}, {kAllow, 0, 1, 'X'}}},
        {"object allow after allow, before inherited deny",
         {{kAllow, 0, 1, 'W'}, {kDeny, kInh, 1, 'X'}},
         {kAllowObj, 0, 1, 'Y'},
         {{kAllow, 0, 1, 'W'}, {kAllowObj, 0, 1, 'Y'}, {kDeny, kInh, 1, 'X'}}},
        {"inherited allow at the end", {{kAllow, kInh, 1, 'W'}}, {kAllow, kInh | 3, 1, 'X'},
         {{kAllow, kInh | 3, 1, 'X'}, {kAllow, kInh, 1, 'W'}}},
        {"other flags do not count", {{kAllow, 0, 1, 'W'}}, {kDeny, CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE, 1, 'X'},
         {{kDeny, CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE, 1, 'X'}, {kAllow, 0, 1, 'W'}}},
    };
    for (const auto& c : cases) {
        Acl acl = rawAcl(c.before);
        acl.add(aceOf(c.added).get());
        EXPECT_EQ(entriesOf(acl.get()), c.after) << c.name;
    }

    // One rank added one after the other ends reversed.
    Acl acl;
    for (char who : {'W', 'X', 'Y', 'Z'}) acl.add(aceOf({kAllow, 0, 1, who}).get());
    EXPECT_EQ(entriesOf(acl.get()),
              (std::vector<Entry>{{kAllow, 0, 1, 'Z'}, {kAllow, 0, 1, 'Y'}, {kAllow, 0, 1, 'X'}, {kAllow, 0, 1, 'W'}}));

    // appendAll places each entry of the other list in turn.
    Acl target = rawAcl({{kAllow, 0, 1, 'W'}});
    target.appendAll(rawAcl({{kDeny, 0, 1, 'X'}, {kAllow, kInh, 1, 'Y'}, {kAllow, 0, 1, 'Z'}}).get());
    EXPECT_EQ(entriesOf(target.get()), (std::vector<Entry>{{kDeny, 0, 1, 'X'}, {kAllow, 0, 1, 'Z'},
                                                           {kAllow, 0, 1, 'W'}, {kAllow, kInh, 1, 'Y'}}));

    Raised invalid = raised([] { Acl().add(aceOf({SYSTEM_AUDIT_ACE_TYPE, 0, 1, 'W'}).get()); });
    EXPECT_EQ(invalid.what, withCode("Invalid ACE type", ERROR_INVALID_PARAMETER));
    Raised unsupported = raised([] { rawAcl({{SYSTEM_AUDIT_ACE_TYPE, 0, 1, 'W'}}).add(aceOf({kAllow, 0, 1, 'X'}).get()); });
    EXPECT_EQ(unsupported.what, withCode("Unsupported ACE type in ACL", ERROR_INVALID_PARAMETER));
}

TEST(AclTest, RemoveAndAddUnlessPresent) {
    const std::vector<Entry> mixed = {
        {kDeny, 0, 1, 'W'}, {kDenyObj, 0, 1, 'W'}, {kAllow, 0, 1, 'X'}, {kAllow, 0, 2, 'W'}, {kDeny, kInh, 1, 'W'}};
    const struct {
        bool denyOnly;
        std::vector<Entry> after;
    } removals[] = {
        {true, {{kAllow, 0, 1, 'X'}, {kAllow, 0, 2, 'W'}}},
        {false, {{kAllow, 0, 1, 'X'}}},
    };
    for (const auto& r : removals) {
        Acl acl = rawAcl(mixed);
        acl.removeSid(sidOf('W').get(), r.denyOnly);
        EXPECT_EQ(entriesOf(acl.get()), r.after) << r.denyOnly;
    }

    const struct {
        const char* name;
        Entry added;
        bool grows;
    } additions[] = {
        {"equal", {kAllow, 0, 2, 'W'}, false},
        {"other mask", {kAllow, 0, 3, 'W'}, true},
        {"other flags", {kAllow, OBJECT_INHERIT_ACE, 2, 'W'}, true},
        {"other type", {kDeny, 0, 2, 'W'}, true},
        {"other sid", {kAllow, 0, 2, 'X'}, true},
    };
    for (const auto& a : additions) {
        Acl acl = rawAcl({{kDeny, 0, 1, 'W'}, {kAllow, 0, 2, 'W'}});
        Ace ace = aceOf(a.added);
        acl.addUnlessPresent(&ace, 1);
        EXPECT_EQ(acl.count(), a.grows ? 3u : 2u) << a.name;
    }
    // A batch: the duplicate inside it is added once.
    Acl acl;
    std::vector<Ace> batch = {aceOf({kAllow, 0, 1, 'W'}), aceOf({kDeny, 0, 1, 'X'}), aceOf({kAllow, 0, 1, 'W'})};
    acl.addUnlessPresent(batch.data(), batch.size());
    EXPECT_EQ(entriesOf(acl.get()), (std::vector<Entry>{{kDeny, 0, 1, 'X'}, {kAllow, 0, 1, 'W'}}));

    Acl unknown = rawAcl({{kAllow, 0, 1, 'W'}, {kAllow, 0, 1, 'E'}, {kDeny, 0, 1, 'X'}, {kAllow, 0, 1, 'A'}});
    unknown.removeUnknownSids();
    EXPECT_EQ(entriesOf(unknown.get()), (std::vector<Entry>{{kAllow, 0, 1, 'E'}, {kAllow, 0, 1, 'A'}}));
}

TEST(AclTest, FindAceStopsAtUnsupportedTypes) {
    Acl acl = rawAcl({{kAllow, 0, 1, 'W'}, {kAllow, 0, 1, 'X'}, {kAllow, 0, 1, 'Y'}});
    EXPECT_EQ(acl.findAce(sidOf('Y').get(), 0), 2);
    EXPECT_EQ(acl.findAce(sidOf('W').get(), 1), -1);
    EXPECT_EQ(acl.findAce(sidOf('Z').get(), 0), -1);
    acl.ace(1)->AceType = 4;  // a compound entry
    EXPECT_EQ(acl.findAce(sidOf('W').get(), 0), 0);  // found before the search reaches it
    EXPECT_TRUE(startsWith(raised([&] { acl.findAce(sidOf('Y').get(), 0); }).what, "Unsupported ACE type (4)"));
    EXPECT_TRUE(startsWith(raised([] { Ace(4, 0, 1, VSID::everyone().get()); }).what, "Unsupported ACE type (4)"));
    EXPECT_TRUE(startsWith(raised([] { Ace(9, 0, 1, VSID::everyone().get()); }).what, "Unsupported ACE type (9)"));
}

TEST(AclTest, EntriesAndEquality) {
    Ace plain(kAllow, 3, 0x1F01FF, VSID::everyone().get());
    EXPECT_EQ(plain.size(), 8 + 12);
    Ace object(kAllowObj, 0, 1, VSID::admins().get());
    EXPECT_EQ(object.size(), 44 + 16);
    const BYTE* bytes = reinterpret_cast<const BYTE*>(object.get());
    EXPECT_EQ(std::vector<BYTE>(bytes + 8, bytes + 44), std::vector<BYTE>(36, 0));
    EXPECT_EQ(sidText(aceSid(object.get())), L"S-1-5-32-544");

    EXPECT_TRUE(aceEqual(plain.get(), Ace(plain).get()));
    EXPECT_FALSE(aceEqual(plain.get(), Ace(kAllow, 3, 0x1F01FE, VSID::everyone().get()).get()));
    EXPECT_FALSE(aceEqual(plain.get(), Ace(kAllow, 2, 0x1F01FF, VSID::everyone().get()).get()));
    EXPECT_FALSE(aceEqual(plain.get(), Ace(kDeny, 3, 0x1F01FF, VSID::everyone().get()).get()));
    EXPECT_FALSE(aceEqual(plain.get(), Ace(kAllow, 3, 0x1F01FF, VSID::system().get()).get()));

    EXPECT_TRUE(Acl(static_cast<const ACL*>(nullptr)).isNull());
    Acl copied(rawAcl({{kAllow, 0, 1, 'W'}}));
    Acl second(copied);
    second.add(aceOf({kDeny, 0, 1, 'X'}).get());
    EXPECT_EQ(copied.count(), 1u);  // copies are independent blocks
}

TEST(AclTest, GrowsByDoublingTheNeededTotal) {
    // Each entry of an orphan SID (S-1-5-21-1-2-3-r) takes 8 + 28 bytes.
    Acl acl;
    const DWORD entry = 8 + 28;
    const struct {
        DWORD bytesInUse, aclSize;
    } steps[] = {{8 + entry, 2 * (8 + entry)},
                 {8 + 2 * entry, 2 * (8 + entry)},
                 {8 + 3 * entry, 2 * (8 + 3 * entry)},
                 {8 + 4 * entry, 2 * (8 + 3 * entry)},
                 {8 + 5 * entry, 2 * (8 + 3 * entry)}};
    DWORD rid = 100;
    for (const auto& step : steps) {
        acl.add(Ace(kAllow, 0, 1, orphan(rid++).get()).get());
        ACL_SIZE_INFORMATION info;
        ASSERT_TRUE(GetAclInformation(acl.get(), &info, sizeof info, AclSizeInformation));
        EXPECT_EQ(info.AclBytesInUse, step.bytesInUse) << rid;
        EXPECT_EQ(acl.get()->AclSize, step.aclSize) << rid;
    }
    // Up to the largest list a WORD size allows; every entry kept, newest first.
    while (8 + (acl.count() + 1) * entry <= 0xFFFC) acl.add(Ace(kAllow, 0, 1, orphan(rid++).get()).get());
    EXPECT_EQ(acl.count(), (0xFFFCu - 8) / entry);
    for (DWORD i = 0; i < acl.count(); ++i)
        ASSERT_TRUE(EqualSid(aceSid(acl.ace(i)), orphan(rid - 1 - i).get())) << i;
}

TEST(AclTest, GenericRightsMapToFileRights) {
    const struct {
        ACCESS_MASK generic, file;
    } masks[] = {{0x10000000, 0x001F01FF}, {0xA0000000, 0x001200A9}, {0x80000000, 0x00120089},
                 {0x40000000, 0x00120116}, {0x20000000, 0x001200A0}, {0xF0000000, 0x001F01FF},
                 {0x80000001, 0x00120089}, {0x00000020, 0x00000020}, {0, 0}};
    for (const auto& m : masks) EXPECT_EQ(mapGenericFileRights(m.generic), m.file) << std::hex << m.generic;

    constexpr BYTE OI = OBJECT_INHERIT_ACE, CI = CONTAINER_INHERIT_ACE, IO = INHERIT_ONLY_ACE;
    Acl acl = rawAcl({
        {kDeny, 0, GENERIC_WRITE, 'W'},
        {kAllow, OI | CI, GENERIC_ALL, 'X'},
        {kAllow, IO | OI, GENERIC_READ | GENERIC_EXECUTE, 'Y'},  // inherit-only ...
        {kAllow, kInh | OI, FILE_ALL_ACCESS, 'X'},                // same as the second once mapped
        {kAllow, kInh, 0x001200A9, 'Y'},                          // ... merged with one that applies here
        {kAllow, kInh | IO | CI, GENERIC_READ, 'Z'},
        {kAllow, kInh | IO | OI, GENERIC_READ, 'Z'},
    });
    acl.mapGeneric();
    const std::vector<Entry> expected = {
        {kDeny, 0, 0x00120116, 'W'},
        {kAllow, OI | CI, 0x001F01FF, 'X'},
        {kAllow, OI, 0x001200A9, 'Y'},
        {kAllow, IO | OI | CI, 0x00120089, 'Z'},
    };
    EXPECT_EQ(entriesOf(acl.get()), expected);
    acl.mapGeneric();  // a mapped list stays as it is
    EXPECT_EQ(entriesOf(acl.get()), expected);
}

// ---- Building descriptors

TEST(SecurityDescriptorTest, RecyclerSpecGivesFourEntriesInOrder) {
    AclSpec spec = AclSpec::access(VSID::admins(), GENERIC_ALL, true) +
                   AclSpec::access(VSID::system(), GENERIC_ALL, false) +
                   AclSpec::access(VSID::everyone(), 0x001300E7, 2, true) +
                   AclSpec::access(VSID::everyone(), 0x00130080, 9, true);
    AclSpec copy = spec;  // its trustees point at its own SIDs
    spec = AclSpec();
    ASSERT_EQ(copy.entries().size(), 4u);
    for (const AclSpecEntry& entry : copy.entries())
        EXPECT_EQ(entry.access.Trustee.ptstrName, static_cast<LPWSTR>(entry.sid.get()));
    EXPECT_EQ(copy.entries()[0].access.Trustee.TrusteeType, TRUSTEE_IS_GROUP);
    EXPECT_EQ(copy.entries()[1].access.Trustee.TrusteeType, TRUSTEE_IS_USER);
    EXPECT_EQ(copy.entries()[0].access.grfInheritance, 3u);
    EXPECT_EQ(copy.entries()[0].access.grfAccessMode, SET_ACCESS);

    SecurityDescriptor sd(copy + AclSpec::owner(VSID::admins()) + AclSpec::group(VSID::system()), true);
    EXPECT_EQ(entriesOf(sd.dacl()), (std::vector<Entry>{{kAllow, 3, GENERIC_ALL, 'A'},
                                                         {kAllow, 3, GENERIC_ALL, 'S'},
                                                         {kAllow, 2, 0x001300E7, 'E'},
                                                         {kAllow, 9, 0x00130080, 'E'}}));
    EXPECT_TRUE(IsValidSecurityDescriptor(sd.descriptor()));
    PSID owner = nullptr, group = nullptr;
    BOOL defaulted = TRUE, present = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorOwner(sd.descriptor(), &owner, &defaulted));
    EXPECT_EQ(sidText(owner), L"S-1-5-32-544");
    EXPECT_FALSE(defaulted);
    ASSERT_TRUE(GetSecurityDescriptorGroup(sd.descriptor(), &group, &defaulted));
    EXPECT_EQ(sidText(group), L"S-1-5-18");
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd.descriptor(), &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_EQ(dacl, sd.dacl());
    EXPECT_EQ(sd.attributes()->nLength, sizeof(SECURITY_ATTRIBUTES));
    EXPECT_EQ(sd.attributes()->lpSecurityDescriptor, sd.descriptor());
    EXPECT_TRUE(sd.attributes()->bInheritHandle);

    // No entries: Wine's SetEntriesInAcl gives no list at all (a null DACL).
    SecurityDescriptor empty(AclSpec(), false);
    EXPECT_TRUE(entriesOf(empty.dacl()).empty());
    EXPECT_TRUE(IsValidSecurityDescriptor(empty.descriptor()));
    ASSERT_TRUE(GetSecurityDescriptorOwner(empty.descriptor(), &owner, &defaulted));
    EXPECT_EQ(owner, nullptr);
}

// ---- Named objects

namespace {

// A scratch directory removed with its one level of files.
class ScratchDir {
public:
    ScratchDir() {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        path = std::wstring(temp) + L"hvcsec-" + newGuidText(true);
        ok = CreateDirectoryW(path.c_str(), nullptr);
    }
    ~ScratchDir() {
        for (const std::wstring& file : files) {
            SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(file.c_str());
        }
        RemoveDirectoryW(path.c_str());
    }
    std::wstring file(const std::wstring& name) {
        files.push_back(path + L"\\" + name);
        UniqueHandle handle(CreateFileW(files.back().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        return handle ? files.back() : std::wstring();
    }
    std::wstring path;
    std::vector<std::wstring> files;
    BOOL ok;
};

}  // namespace

// Wine keeps no DACL or owner (it maps a DACL to Unix mode bits and ignores
// the owner), so what can be shown here is that the calls succeed, that a
// DACL comes back, and how failures are reported; that the written DACL is
// protected, that orphaned entries were dropped on disk and who the owner is
// are not observable.
TEST(NamedObjectTest, ReadWriteAndTakeOwnership) {
    ScratchDir dir;
    ASSERT_TRUE(dir.ok);
    const std::wstring file = dir.file(L"a.txt");
    ASSERT_FALSE(file.empty());

    for (const std::wstring& path : {dir.path, file, L"\\\\?\\" + file}) {
        Acl acl = readObjectDacl(path, SE_FILE_OBJECT);
        ASSERT_FALSE(acl.isNull()) << testutil::narrow(path);
        EXPECT_GT(acl.count(), 0u);
        acl.add(Ace(kAllow, 0, FILE_ALL_ACCESS, orphan(4242).get()).get());  // dropped before writing
        acl.mapGeneric();
        EXPECT_NO_THROW(writeObjectDacl(path, SE_FILE_OBJECT, acl)) << testutil::narrow(path);
        EXPECT_NO_THROW(takeOwnership(path, SE_FILE_OBJECT));
    }
    // Wine shows one effect: Everyone granted everything keeps the file writable.
    Acl open;
    open.add(Ace(kAllow, 0, FILE_ALL_ACCESS, VSID::everyone().get()).get());
    writeObjectDacl(file, SE_FILE_OBJECT, open);
    EXPECT_EQ(GetFileAttributesW(file.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);

    const std::wstring missing = dir.path + L"\\missing\\b.txt";
    Raised read = raised([&] { readObjectDacl(L"\\\\?\\" + missing, SE_FILE_OBJECT); });
    EXPECT_TRUE(startsWith(read.what, "Unable to get the object (" + testutil::narrow(missing) + ") security info: (")) << read.what;
    Raised write = raised([&] { writeObjectDacl(missing, SE_FILE_OBJECT, open); });
    EXPECT_TRUE(startsWith(write.what, "Unable to set the object (" + testutil::narrow(missing) + ") security info: (")) << write.what;
    Raised owner = raised([&] { takeOwnership(missing, SE_FILE_OBJECT); });
    EXPECT_TRUE(startsWith(owner.what, "Unable to set the object (" + testutil::narrow(missing) + ") owner: (")) << owner.what;
}
