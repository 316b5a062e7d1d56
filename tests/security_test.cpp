#include <gtest/gtest.h>
#include <windows.h>
#include <lm.h>
#include <sddl.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/exceptions.h"
#include "runtime/owners.h"
#include "runtime/sysobjects.h"
#include "security/acl.h"
#include "security/sid.h"
#include "security/token.h"
#include "fsutil.h"
#include "testutil.h"

namespace {

std::wstring sidText(PSID sid) {
    UniqueLocalPtr<wchar_t> text;
    if (!sid || !ConvertSidToStringSidW(sid, text.put())) return L"(none)";
    return text.get();
}

std::wstring currentUser() {
    wchar_t user[UNLEN + 1];
    DWORD size = UNLEN + 1;
    return GetUserNameW(user, &size) ? user : L"(unknown)";
}

// What f raised: a RunTime text ("NoneMapped: " in front for that class),
// or an OS error's code and full text.
std::string raised(const std::function<void()>& f) {
    try {
        f();
    } catch (const RunTime::NoneMappedException& e) {
        return std::string("NoneMapped: ") + e.what();
    } catch (const std::runtime_error& e) {
        return e.what();
    } catch (const vosexception& e) {
        return std::to_string(e.errorCode()) + ": " + testutil::narrow(e.fullText());
    }
    return "(nothing raised)";
}
bool startsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }
bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The throwRuntimeError text of a code.
std::string withCode(const std::string& text, DWORD code) {
    return text + ": (" + std::to_string(code) + ") " + testutil::narrow(testutil::systemText(code));
}

// S-1-5-21-1-2-3-rid: a domain no system here knows.
AccountSid orphan(DWORD rid) {
    return AccountSid::fromAuthority(SID_IDENTIFIER_AUTHORITY SECURITY_NT_AUTHORITY, 5, 21, 1, 2, 3, rid);
}

AccountSid sidOf(char who) {  // 'E'veryone, 'A'dmins, 'S'ystem, else an orphan
    return who == 'E' ? AccountSid::everyone() : who == 'A' ? AccountSid::admins()
                       : who == 'S' ? AccountSid::system() : orphan(static_cast<DWORD>(who));
}

// ACEs as text, e.g. "DW AX/10:2": type (A allow, D deny, a/d their object forms, U audit), who,
// then hex flags after '/' and a hex mask after ':' (1 when left out).
const std::string kTypes = "ADUL?ad";
Ace aceOf(const std::string& text) {
    const size_t slash = text.find('/'), colon = text.find(':');
    const auto hex = [&](size_t at, unsigned long none) {
        return at == std::string::npos ? none : std::stoul(text.substr(at + 1), nullptr, 16);
    };
    return Ace(BYTE(kTypes.find(text[0])), BYTE(hex(slash, 0)), hex(colon, 1), sidOf(text[1]).get());
}

// An Acl holding the entries exactly in the given order (no canonical placement).
Acl rawAcl(const std::string& list) {
    std::vector<Ace> aces;
    DWORD size = sizeof(ACL);
    std::istringstream words(list);
    for (std::string word; words >> word; size += aces.back().size()) aces.push_back(aceOf(word));
    UniqueMallocPtr<ACL> block(static_cast<ACL*>(std::malloc(size)));
    EXPECT_TRUE(InitializeAcl(block.get(), size, ACL_REVISION));
    for (const Ace& ace : aces) EXPECT_TRUE(AddAce(block.get(), ACL_REVISION, MAXDWORD, ace.get(), ace.size()));
    return Acl(block.get());
}

std::string entriesOf(const ACL* acl) {
    std::ostringstream out;
    for (DWORD i = 0; acl && i < acl->AceCount; ++i) {
        void* raw = nullptr;
        GetAce(const_cast<ACL*>(acl), i, &raw);
        const ACE_HEADER* ace = static_cast<ACE_HEADER*>(raw);
        char who = '?';
        for (char c : {'E', 'A', 'S', 'W', 'X', 'Y', 'Z'})
            if (EqualSid(aceSid(ace), sidOf(c).get())) who = c;
        out << (i ? " " : "") << kTypes[ace->AceType] << who << std::hex;
        if (ace->AceFlags) out << "/" << int(ace->AceFlags);
        if (aceMask(ace) != 1) out << ":" << aceMask(ace);
    }
    return out.str();
}

}  // namespace

TEST(SidTest, WellKnownSidsAndCopies) {
    EXPECT_EQ(sidText(VSID::everyone().get()) + sidText(VSID::admins().get()) + sidText(VSID::system().get()),
              L"S-1-1-0S-1-5-32-544S-1-5-18");
    EXPECT_EQ(sidText(AccountSid::everyone().get()) + sidText(AccountSid::admins().get()) +
                  sidText(AccountSid::system().get()),
              L"S-1-1-0S-1-5-32-544S-1-5-18");
    VSID admins = VSID::admins(), copy(admins);
    admins = VSID();  // the copy lives on its own
    EXPECT_EQ(sidText(copy.get()), L"S-1-5-32-544");
    BYTE garbage[16] = {9, 9, 9};
    EXPECT_TRUE(VSID(garbage).empty());  // invalid: empty, no error
    EXPECT_TRUE(startsWith(raised([&] { AccountSid bad(garbage); }), "Invalid sid"));
}

// Wine: the account domain is S-1-5-21-0-0-0; LookupAccountSid names rid 500 and 501.
TEST(SidTest, AccountsResolveBothWays) {
    AccountSid administrator = AccountSid::fromDomainRid(DOMAIN_USER_RID_ADMIN);
    const std::wstring text = sidText(administrator.get());
    EXPECT_TRUE(text.find(L"S-1-5-21-") == 0 && text.substr(text.size() - 4) == L"-500") << testutil::narrow(text);
    EXPECT_TRUE(administrator.name() == L"Administrator" && administrator.domain() == accountDomainName());
    EXPECT_EQ(AccountSid::fromDomainRid(DOMAIN_USER_RID_GUEST).name(), L"Guest");
    AccountSid system = AccountSid::system(), admins = AccountSid::admins();
    EXPECT_TRUE(system.name() == L"SYSTEM" && system.use() == SidTypeWellKnownGroup);
    EXPECT_TRUE(admins.name() == L"Administrators" && AccountSid(admins).use() == SidTypeAlias);  // copies keep names
    EXPECT_TRUE(sidIsKnown(VSID::everyone().get()) && sidIsKnown(administrator.get()));
    EXPECT_FALSE(sidIsKnown(AccountSid::fromDomainRid(54321).get()));  // a deleted local account
    EXPECT_FALSE(sidIsKnown(orphan(1000).get()));

    // By name: the account domain, then the built-in domain, then the NT authority.
    AccountSid account;
    ASSERT_TRUE(account.fromName(L"", currentUser(), true));
    EXPECT_TRUE(EqualSid(account.get(), tokenUser().get()) && account.use() == SidTypeUser);
    const std::pair<const wchar_t*, const wchar_t*> builtins[] = {{L"Administrators", L"S-1-5-32-544"},
                                                                   {L"SYSTEM", L"S-1-5-18"}};
    for (const auto& b : builtins) {
        ASSERT_TRUE(account.fromName(L"", b.first, true));
        EXPECT_EQ(sidText(account.get()), b.second);
    }
    EXPECT_FALSE(account.fromName(L"", L"hvc-no-such-account", false));
    EXPECT_TRUE(account.empty());
    EXPECT_EQ(raised([&] { account.fromName(L"", L"hvc-no-such-account", true); }),
              "NoneMapped: " + withCode("Unable to lookup SID for name hvc-no-such-account", ERROR_NONE_MAPPED));
}

namespace {

// Knows LOST\ghost (orphan 7777), on the first attempt or only on the second.
class TestResolver : public AccountResolver {
public:
    explicit TestResolver(bool answerFirst) : answerFirst_(answerFirst) {}
    bool lookupSid(PSID sid, bool second, std::wstring& name, std::wstring& domain, SID_NAME_USE& use) override {
        sidQueries.push_back(second);
        if (!EqualSid(sid, ghost_.get()) || (!second && !answerFirst_)) return false;
        name = L"ghost", domain = L"LOST", use = SidTypeUser;
        return true;
    }
    bool lookupName(const std::wstring& qualified, bool second, ResolvedAccount& account) override {
        nameQueries.push_back(qualified);
        if (qualified != L"LOST\\ghost" || (!second && !answerFirst_)) return false;
        const BYTE* bytes = static_cast<const BYTE*>(ghost_.get());
        account = {std::vector<BYTE>(bytes, bytes + GetLengthSid(ghost_.get())), L"ghost", L"LOST", SidTypeUser};
        return true;
    }
    bool newMapping(const std::wstring& qualified, const ResolvedAccount&) override {
        mappings.push_back(qualified);
        return true;
    }
    std::vector<bool> sidQueries;
    std::vector<std::wstring> nameQueries, mappings;

private:
    bool answerFirst_;
    AccountSid ghost_ = orphan(7777);
};

}  // namespace

TEST(SidTest, ResolverAnswersBeforeAndAfterTheAuthority) {
    const std::string unnamed = "NoneMapped: " + withCode("Unable to lookup name for SID", ERROR_NONE_MAPPED);
    EXPECT_EQ(raised([] { orphan(7777).name(); }), unnamed);
    TestResolver late(false), early(true);
    {
        AccountResolverScope scope(late);
        AccountSid ghost = orphan(7777);
        EXPECT_TRUE(ghost.name() == L"ghost" && ghost.domain() == L"LOST");
        EXPECT_EQ(late.sidQueries, (std::vector<bool>{false, true}));  // second attempt, after the authority
        AccountSid me;
        ASSERT_TRUE(me.fromName(L"", currentUser(), true));  // told of the new mapping
        EXPECT_EQ(late.mappings, std::vector<std::wstring>{qualifiedName(accountDomainName(), currentUser())});
        {
            AccountResolverScope inner(early);
            ASSERT_TRUE(ghost.fromName(L"LOST", L"ghost", true));  // answered on the first attempt
            EXPECT_EQ(sidText(ghost.get()), L"S-1-5-21-1-2-3-7777");
            EXPECT_EQ(early.nameQueries.front(), L"LOST\\ghost");
        }
        late.nameQueries.clear();  // the replaced resolver is back: no first-attempt answer
        EXPECT_FALSE(ghost.fromName(L"LOST", L"ghost", false));
        EXPECT_EQ(late.nameQueries.size(), 3u);
    }
    EXPECT_EQ(raised([] { orphan(7777).name(); }), unnamed);  // none installed any more
}

namespace {

// SE_PRIVILEGE_ENABLED bit of a privilege in a token, or -1 when not held.
long privilegeState(HANDLE token, const wchar_t* name) {
    LUID luid;
    if (!LookupPrivilegeValueW(nullptr, name, &luid)) return -1;
    UniqueMallocPtr<BYTE> buffer = queryTokenInformation(token, TokenPrivileges);
    const TOKEN_PRIVILEGES* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.get());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i)
        if (!std::memcmp(&privileges->Privileges[i].Luid, &luid, sizeof luid))
            return static_cast<long>(privileges->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED);
    return -1;
}

}  // namespace

TEST(TokenTest, UnknownAndMissingPrivileges) {
    const std::string unknown = raised([] { setPrivilege(L"SeNoSuchPrivilege", true); });
    EXPECT_TRUE(contains(unknown, " at LookupPrivilegeValue\n   at (setPrivilege line 925)")) << unknown;
    EXPECT_TRUE(startsWith(raised([] { hasPrivilege(L"SeNoSuchPrivilege"); }),
                           "The privilege (SeNoSuchPrivilege) is not found"));
    EXPECT_TRUE(startsWith(raised([] { enablePrivilege(L"SeNoSuchPrivilege"); }),
                           "Unable to find privilege (SeNoSuchPrivilege)"));

    fsutil::WithoutPrivilege restricted(SE_RESTORE_NAME);  // Wine grants every process nearly all of them
    EXPECT_FALSE(hasPrivilege(SE_RESTORE_NAME));
    const std::string missing = raised([] { setPrivilege(SE_RESTORE_NAME, true); });
    EXPECT_TRUE(startsWith(missing, "1300: ")) << missing;
    EXPECT_TRUE(contains(missing, " at AdjustTokenPrivileges\n   at (setPrivilege line 935)")) << missing;
    EXPECT_EQ(raised([] { enablePrivilege(SE_RESTORE_NAME); }),
              withCode("Unable to adjust privilege (SeRestorePrivilege)", ERROR_NOT_ALL_ASSIGNED));
}

// An impersonating thread switches its own token's privileges, not the process's.
TEST(TokenTest, HeldPrivilegeSwitchesInTheThreadToken) {
    UniqueHandle process, thread;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, process.put()));
    const long processBefore = privilegeState(process.get(), SE_RESTORE_NAME);
    ASSERT_NE(processBefore, -1);
    struct Impersonation {
        BOOL ok = ImpersonateSelf(SecurityImpersonation);
        ~Impersonation() { RevertToSelf(); }
    } impersonation;
    ASSERT_TRUE(impersonation.ok && OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, thread.put()));
    setPrivilege(SE_RESTORE_NAME, false);
    EXPECT_EQ(privilegeState(thread.get(), SE_RESTORE_NAME), 0);
    EXPECT_TRUE(hasPrivilege(SE_RESTORE_NAME));  // held, though disabled
    enablePrivilege(SE_RESTORE_NAME);
    EXPECT_EQ(privilegeState(thread.get(), SE_RESTORE_NAME), SE_PRIVILEGE_ENABLED);
    setPrivilege(SE_RESTORE_NAME, false);
    EXPECT_EQ(privilegeState(thread.get(), SE_RESTORE_NAME), 0);
    EXPECT_EQ(privilegeState(process.get(), SE_RESTORE_NAME), processBefore);
}

TEST(TokenTest, IdentityQueries) {
    // Another process's handle (here a real handle to this one) opens its token directly.
    VHandle self(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, GetCurrentProcessId()));
    ASSERT_TRUE(self.valid());
    EXPECT_TRUE(EqualSid(tokenUser(self.get()).get(), tokenUser().get()));
    EXPECT_TRUE(startsWith(raised([] { tokenUser(reinterpret_cast<HANDLE>(0x3FFFFFF0)); }),
                           "Unable to open process token"));
    UniqueMallocPtr<TOKEN_GROUPS> groups = tokenGroups();
    bool admin = false;
    for (DWORD i = 0; i < groups.get()->GroupCount; ++i)
        admin = admin || EqualSid(groups.get()->Groups[i].Sid, VSID::admins().get());
    EXPECT_TRUE(admin);  // Wine runs every process as a full administrator
    // A default DACL of this test's making outgrows the first 256-byte attempt
    // in both builds (the group list does in the 64-bit one only) and comes back whole.
    UniqueHandle token, copy;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE, token.put()));
    ASSERT_TRUE(DuplicateTokenEx(token.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary,
                                 copy.put()));
    Acl dacl = rawAcl("AW AX AY AZ AW/10 AX/10 AY/10 AZ/10 AW:2 AX:2 AY:2 AZ:2");
    TOKEN_DEFAULT_DACL wanted{dacl.get()};
    ASSERT_TRUE(SetTokenInformation(copy.get(), TokenDefaultDacl, &wanted, sizeof wanted));
    UniqueMallocPtr<BYTE> info = queryTokenInformation(copy.get(), TokenDefaultDacl);
    const ACL* got = reinterpret_cast<TOKEN_DEFAULT_DACL*>(info.get())->DefaultDacl;
    EXPECT_GT(got->AclSize, 256u);
    EXPECT_EQ(entriesOf(got), entriesOf(dacl.get()));
}

TEST(AclTest, CanonicalPlacement) {
    const struct {
        const char *before, *added, *after;
    } cases[] = {
        {"DW AX/10:2", "AY:4", "DW AY:4 AX/10:2"},  // explicit allow between explicit deny and inherited allow
        {"DW AX AY/10", "DZ/10", "DW AX DZ/10 AY/10"},  // inherited deny after explicit allow
        {"AW AX", "AY:2", "AY:2 AW AX"},                 // in front of its own rank
        {"DW AX", "dY", "DW dY AX"},                     // object deny between deny and allow
        {"AW DX/10", "aY", "AW aY DX/10"},               // object allow before inherited deny
        {"AW", "DX/a", "DX/a AW"},                       // flags other than inherited do not count
    };
    for (const auto& c : cases) {
        Acl acl = rawAcl(c.before);
        acl.add(aceOf(c.added).get());
        EXPECT_EQ(entriesOf(acl.get()), c.after) << c.before << " + " << c.added;
    }
    Acl target = rawAcl("AW");  // appendAll places each entry in turn
    target.appendAll(rawAcl("DX AY/10 AZ").get());
    EXPECT_EQ(entriesOf(target.get()), "DX AZ AW AY/10");

    EXPECT_EQ(raised([] { Acl().add(aceOf("UW").get()); }), withCode("Invalid ACE type", ERROR_INVALID_PARAMETER));
    EXPECT_EQ(raised([] { rawAcl("UW").add(aceOf("AX").get()); }),
              withCode("Unsupported ACE type in ACL", ERROR_INVALID_PARAMETER));
}

TEST(AclTest, RemoveAndAddUnlessPresent) {
    for (bool denyOnly : {true, false}) {
        Acl acl = rawAcl("DW dW AX AW:2 DW/10");
        acl.removeSid(sidOf('W').get(), denyOnly);
        EXPECT_EQ(entriesOf(acl.get()), denyOnly ? "AX AW:2" : "AX");
    }
    // Equal means the same type, flags, mask and SID.
    const std::pair<const char*, bool> additions[] = {
        {"AW:2", false}, {"AW:3", true}, {"AW/1:2", true}, {"DW:2", true}, {"AX:2", true}};
    for (const auto& a : additions) {
        Acl acl = rawAcl("DW AW:2");
        Ace ace = aceOf(a.first);
        acl.addUnlessPresent(&ace, 1);
        EXPECT_EQ(acl.count(), a.second ? 3u : 2u) << a.first;
    }
    Acl acl;  // a duplicate inside one batch is added once
    std::vector<Ace> batch = {aceOf("AW"), aceOf("DX"), aceOf("AW")};
    acl.addUnlessPresent(batch.data(), batch.size());
    EXPECT_EQ(entriesOf(acl.get()), "DX AW");

    Acl unknown = rawAcl("AW AE DX AA");
    unknown.removeUnknownSids();
    EXPECT_EQ(entriesOf(unknown.get()), "AE AA");
}

TEST(AclTest, FindAceStopsAtUnsupportedTypes) {
    Acl acl = rawAcl("AW AX AY");
    EXPECT_EQ(acl.findAce(sidOf('Y').get(), 0), 2);
    EXPECT_EQ(acl.findAce(sidOf('W').get(), 1), -1);
    acl.ace(1)->AceType = 4;  // a compound entry
    EXPECT_EQ(acl.findAce(sidOf('W').get(), 0), 0);  // found before the search reaches it
    EXPECT_TRUE(startsWith(raised([&] { acl.findAce(sidOf('Y').get(), 0); }), "Unsupported ACE type (4)"));
    EXPECT_TRUE(startsWith(raised([] { Ace(9, 0, 1, VSID::everyone().get()); }), "Unsupported ACE type (9)"));
}

// The block grows up to the largest list a WORD size allows (orphan entries
// take 8 + 28 bytes); every entry kept, newest first.
TEST(AclTest, GrowsToTheLargestList) {
    Acl acl;
    DWORD rid = 100;
    while (8 + (acl.count() + 1) * 36 <= 0xFFFC) acl.add(Ace(ACCESS_ALLOWED_ACE_TYPE, 0, 1, orphan(rid++).get()).get());
    EXPECT_EQ(acl.count(), (0xFFFCu - 8) / 36);
    for (DWORD i = 0; i < acl.count(); ++i) ASSERT_TRUE(EqualSid(aceSid(acl.ace(i)), orphan(rid - 1 - i).get())) << i;
}

TEST(AclTest, GenericRightsMapToFileRights) {
    const ACCESS_MASK masks[][2] = {{0x10000000, 0x001F01FF}, {0xA0000000, 0x001200A9}, {0x40000000, 0x00120116},
                                    {0xF0000000, 0x001F01FF}, {0x80000001, 0x00120089}, {0x20, 0x20}};
    for (const auto& m : masks) EXPECT_EQ(mapGenericFileRights(m[0]), m[1]) << std::hex << m[0];
    // Entries equal once mapped merge their flags (inherit-only with one that applies here); none stays inherited.
    Acl acl = rawAcl("DW:40000000 AX/3:10000000 AY/9:a0000000 AX/11:1f01ff AY/10:1200a9 AZ/1a:80000000 AZ/19:80000000");
    acl.mapGeneric();
    EXPECT_EQ(entriesOf(acl.get()), "DW:120116 AX/3:1f01ff AY/1:1200a9 AZ/b:120089");
    acl.mapGeneric();  // a mapped list stays as it is
    EXPECT_EQ(entriesOf(acl.get()), "DW:120116 AX/3:1f01ff AY/1:1200a9 AZ/b:120089");
}

// The force step's list for a token with owner W, user X and groups Y and A (mask 0x10100): deny
// entries of any of them or of Local System go, whatever their form; the rest are mapped, lose
// the inherited flag and take their canonical places around Local System's and the owner's.
TEST(AclTest, ForcedDaclFromOldEntries) {
    const struct {
        const char *old, *forced;  // old null: no DACL at all
    } cases[] = {
        {nullptr, "AS/3:10100 AW/3:10100"},
        {"DW DX DY DA DS dX aX DZ AE", "DZ AE AS/3:10100 AW/3:10100 aX"},
        {"AZ/10:10000000 DE/10 DX/10", "DE AZ:1f01ff AS/3:10100 AW/3:10100"},
        {"AW:2 AX AZ/b:80000000", "AZ/b:120089 AX AW:2 AS/3:10100 AW/3:10100"},
    };
    const AccountSid owner = sidOf('W'), user = sidOf('X'), group = sidOf('Y'), admins = sidOf('A');
    const TokenIdentity identity{owner.get(), user.get(), {group.get(), admins.get()}};
    for (const auto& c : cases) {
        const Acl old = c.old ? rawAcl(c.old) : Acl(nullptr);
        EXPECT_EQ(entriesOf(forcedDacl(old.get(), identity, 0x10100).get()), c.forced) << (c.old ? c.old : "null");
    }
}

TEST(SecurityDescriptorTest, RecyclerSpecGivesFourEntriesInOrder) {
    AclSpec original = AclSpec::access(VSID::admins(), GENERIC_ALL, true) +
                       AclSpec::access(VSID::system(), GENERIC_ALL, false) +
                       AclSpec::access(VSID::everyone(), 0x001300E7, 2, true) +
                       AclSpec::access(VSID::everyone(), 0x00130080, 9, true);
    AclSpec copy = original;
    original = AclSpec();  // the copy's trustees point at its own SIDs
    for (const AclSpecEntry& entry : copy.entries())
        EXPECT_EQ(entry.access.Trustee.ptstrName, static_cast<LPWSTR>(entry.sid.get()));

    SecurityDescriptor sd(copy + AclSpec::owner(VSID::admins()) + AclSpec::group(VSID::system()), true);
    EXPECT_EQ(entriesOf(sd.dacl()), "AA/3:10000000 AS/3:10000000 AE/2:1300e7 AE/9:130080");
    ASSERT_TRUE(IsValidSecurityDescriptor(sd.descriptor()));
    PSID owner = nullptr, group = nullptr;
    BOOL defaulted = TRUE, present = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorOwner(sd.descriptor(), &owner, &defaulted) &&
                GetSecurityDescriptorGroup(sd.descriptor(), &group, &defaulted) &&
                GetSecurityDescriptorDacl(sd.descriptor(), &present, &dacl, &defaulted));
    EXPECT_EQ(sidText(owner) + L" " + sidText(group), L"S-1-5-32-544 S-1-5-18");
    EXPECT_TRUE(present && dacl == sd.dacl() && !defaulted);
    EXPECT_TRUE(sd.attributes()->lpSecurityDescriptor == sd.descriptor() && sd.attributes()->bInheritHandle);
}

// Wine keeps no DACL or owner (only mode bits): the calls can be shown to
// succeed and to report failures, not what they wrote.
TEST(NamedObjectTest, ReadWriteAndTakeOwnership) {
    fsutil::TempTree dir;
    const std::wstring file = dir / L"a.txt", missing = dir / L"missing\\b.txt";
    ASSERT_TRUE(fsutil::writeFile(file, ""));
    for (const std::wstring& path : {dir.path(), file, L"\\\\?\\" + file}) {
        Acl acl = readObjectDacl(path, SE_FILE_OBJECT);
        ASSERT_GT(acl.count(), 0u) << testutil::narrow(path);
        acl.add(Ace(ACCESS_ALLOWED_ACE_TYPE, 0, FILE_ALL_ACCESS, orphan(4242).get()).get());  // dropped before writing
        acl.mapGeneric();
        EXPECT_NO_THROW(writeObjectDacl(path, SE_FILE_OBJECT, acl)) << testutil::narrow(path);
        EXPECT_NO_THROW(takeOwnership(path, SE_FILE_OBJECT));
    }
    const Acl open = rawAcl("AE:1f01ff");  // Wine shows one effect: the file stays writable
    writeObjectDacl(file, SE_FILE_OBJECT, open);
    EXPECT_EQ(GetFileAttributesW(file.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);

    // Reported paths lose the long-path prefix.
    const std::string object = " the object (" + testutil::narrow(missing) + ") ";
    EXPECT_TRUE(startsWith(raised([&] { readObjectDacl(L"\\\\?\\" + missing, SE_FILE_OBJECT); }),
                           "Unable to get" + object + "security info: ("));
    EXPECT_TRUE(startsWith(raised([&] { writeObjectDacl(missing, SE_FILE_OBJECT, open); }),
                           "Unable to set" + object + "security info: ("));
    EXPECT_TRUE(startsWith(raised([&] { takeOwnership(missing, SE_FILE_OBJECT); }),
                           "Unable to set" + object + "owner: ("));
}
