// Tree removal, file removal and tree rename against read-only, denied and held entries and a
// second volume (V:) for the entry-by-entry rename and its rollback; the directory exports.
#include <gtest/gtest.h>
#include <windows.h>

#include <process.h>

#include <iterator>
#include <set>
#include <memory>

#include "childprocess.h"
#include "exports/hvcdmtutils.h"
#include "fs/file.h"
#include "fs/filename.h"
#include "fs/tree.h"
#include "fsutil.h"
#include "runtime/text.h"
#include "security/acl.h"
#include "security/token.h"
#include "runtime/cancellation.h"
#include "runtime/executecontext.h"

namespace {

using fsutil::failureOf;
using fsutil::osText;
using fsutil::TempTree;

const std::wstring recyclerPart = L"Recycler\\{86066D57-9347-46a7-B4DB-971D9EF36D29}";

// The volume's file index: kept by a rename, new for a copy.
ULONGLONG fileIndex(const std::wstring& path) {
    UniqueHandle handle(CreateFileW(path.c_str(), 0, 7, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!handle || !GetFileInformationByHandle(handle.get(), &info)) return 0;
    return (ULONGLONG(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}

// A file held open without sharing by hvctesthelper ("hold") while this
// lives: neither movable nor deletable (32), whatever force does.
class HeldElsewhere {
public:
    explicit HeldElsewhere(const std::wstring& path) {
        const std::wstring name = fsutil::uniqueName(L"hold");
        release_.reset(CreateEventW(nullptr, TRUE, FALSE, (name + L"-release").c_str()));
        UniqueHandle held(CreateEventW(nullptr, TRUE, FALSE, (name + L"-held").c_str()));
        process_ = childprocess::start({L"hold", path, name}, nullptr);
        HANDLE waits[2] = {held.get(), process_.get()};
        if (!process_ || WaitForMultipleObjects(2, waits, FALSE, 20000) != WAIT_OBJECT_0)
            ADD_FAILURE() << "the holder did not open the file";
    }
    ~HeldElsewhere() {
        SetEvent(release_.get());
        if (process_) WaitForSingleObject(process_.get(), 20000);
    }

private:
    UniqueHandle release_, process_;
};

// Owner, group and DACL as stored (under Wine: made from the mode bits).
std::string securityOf(const std::wstring& path) {
    std::string bytes(4096, '\0');
    DWORD size = 0;
    GetFileSecurityW(path.c_str(), OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                     &bytes[0], DWORD(bytes.size()), &size);
    return bytes.substr(0, size);
}

// Each file below dir as "relative\path=content".
void contents(const std::wstring& dir, std::multiset<std::string>& out, const std::string& prefix = "") {
    for (const std::wstring& name : fsutil::names(dir)) {
        const std::string relative = prefix + testutil::narrow(name);
        if (fsutil::isDirectory(dir + L"\\" + name))
            contents(dir + L"\\" + name, out, relative + "\\");
        else
            out.insert(relative + "=" + fsutil::readFile(dir + L"\\" + name));
    }
}

// Re-creates a file in the source as soon as a move has taken it away.
struct Rewriter {
    explicit Rewriter(const std::wstring& file) : file(file) {
        thread.reset(CreateThread(nullptr, 0, &Rewriter::run, this, 0, nullptr));
    }
    bool stop() {
        InterlockedExchange(&stopped, 1);
        WaitForSingleObject(thread.get(), INFINITE);
        return wrote;
    }
    static DWORD WINAPI run(void* self) {
        Rewriter& w = *static_cast<Rewriter*>(self);
        while (!w.stopped && fsutil::exists(w.file)) Sleep(0);
        w.wrote = !w.stopped && fsutil::writeFile(w.file, "rewritten");
        return 0;
    }
    std::wstring file;
    volatile LONG stopped = 0;
    bool wrote = false;
    UniqueHandle thread;
};

// The exports as a script host binds them; the slot's text.
int removeExport(const std::wstring& path, int force) {
    return testutil::exportOf<HVC_RemoveDirectoryTree_t>(HVC_NAME_RemoveDirectoryTree)(cstr(path, 0).c_str(), force);
}
int createExport(const char* name, const std::wstring& path) {
    return testutil::exportOf<HVC_createDirectory_t>(name)(cstr(path, 0).c_str());
}
int renameExport(const std::wstring& from, const std::wstring& to) {
    auto rename = testutil::exportOf<HVC_renameDirectory_t>(HVC_NAME_renameDirectory);
    return rename(cstr(from, 0).c_str(), cstr(to, 0).c_str());
}
std::wstring slot() {
    const char* text = testutil::exportOf<HVC_GetLastHvcDmtError_t>(HVC_NAME_GetLastHvcDmtError)();
    return text ? wstr(text, 0) : L"";
}

}  // namespace

// Wine keeps no DACL or owner: only that the force step made the file deletable shows.
TEST(RemoveDir, ResistingFilesNeedForce) {
    for (bool denied : {false, true}) {
        TempTree tree;
        const std::wstring root = tree / L"t", file = root + L"\\docs\\readme.txt";
        fsutil::fillTree(root);
        if (denied) {
            Acl deny;  // Wine shows it as mode 000: read-only, undeletable (5)
            deny.add(Ace(ACCESS_DENIED_ACE_TYPE, 0, GENERIC_ALL, VSID::everyone().get()).get());
            writeObjectDacl(file, SE_FILE_OBJECT, deny);
        } else {
            ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
        }
        fsutil::Failure failure = failureOf([&] { removeDir(root, false, L""); });
        EXPECT_EQ(failure.message, osText(5, L"delete file " + file)) << denied;
        EXPECT_EQ(failure.where(), "removeDir:259");
        // Files before subdirectories; what went stays gone.
        EXPECT_EQ(fsutil::names(root), (std::vector<std::wstring>{L"docs", L"empty"}));
        EXPECT_EQ(fsutil::names(root + L"\\docs"), (std::vector<std::wstring>{L"deep", L"readme.txt"}));
        EXPECT_NO_THROW(removeDir(root, true, L"")) << denied;
        EXPECT_FALSE(fsutil::exists(root));
    }
}

TEST(RemoveDir, FileMissingAndBusyPaths) {
    TempTree tree;
    const std::wstring file = tree / L"plain.txt", missing = tree / L"missing", busy = tree / L"t\\busy.log";
    ASSERT_TRUE(fsutil::writeFile(file, "untouched") && SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
    const std::string security = securityOf(file);
    const DWORD attributes = GetFileAttributesW(file.c_str());
    for (bool force : {false, true}) {  // a file where a directory is expected: left as it was
        fsutil::Failure failure = failureOf([&] { removeDir(file, force, L""); });
        EXPECT_EQ(failure.message, osText(ERROR_DIRECTORY, L"delete directory " + file)) << force;
        EXPECT_EQ(failure.where(), "removeDir:288");
        EXPECT_EQ(fsutil::readFile(file), "untouched");
        EXPECT_EQ(GetFileAttributesW(file.c_str()), attributes) << force;
        EXPECT_EQ(securityOf(file), security) << force;
    }
    EXPECT_EQ(failureOf([&] { removeDir(missing, false, L""); }).message,
              osText(2, L"GetFileAttributes(" + missing + L")"));

    fsutil::fillTree(tree / L"t");
    ASSERT_TRUE(fsutil::writeFile(busy, "busy"));
    HeldElsewhere holder(busy);  // force cannot help against another process's sharing
    EXPECT_EQ(failureOf([&] { removeDir(tree / L"t", true, L""); }).message, osText(32, L"delete file " + busy));
}

TEST(RemoveDir, ThroughRecycler) {
    TempTree tree, recycler;
    const std::wstring root = tree / L"t", readOnly = root + L"\\docs\\readme.txt", held = root + L"\\held.txt";
    fsutil::fillTree(root);
    ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    // Moved there, but not deletable: it stays under a GUID name, and the removal goes on.
    EXPECT_NO_THROW(removeDir(root, false, recycler.path()));
    EXPECT_FALSE(fsutil::exists(root));
    std::vector<std::wstring> left = fsutil::names(recycler.path());
    ASSERT_EQ(left.size(), 1u);
    EXPECT_TRUE(left[0].size() == 36 && left[0][8] == L'-' && left[0][23] == L'-') << testutil::narrow(left[0]);
    EXPECT_EQ(fsutil::readFile(recycler / left[0]), std::string(70000, 'r'));

    // Not even movable: the move's error, or with force the retried move's.
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr) && fsutil::writeFile(held, "held"));
    HeldElsewhere holder(held);
    for (bool force : {false, true}) {
        fsutil::Failure failure = failureOf([&] { removeDir(root, force, recycler.path()); });
        EXPECT_EQ(failure.message.find(osText(32, L"Move file '" + held + L"' to '" + recycler.path() + L"\\")), 0u);
        EXPECT_EQ(failure.where(), force ? "VFile::moveEx:160" : "removeDir:247");
    }
    EXPECT_TRUE(fsutil::exists(held));
}

// A link in the tree to a directory outside it (a Unix symbolic link, which Wine shows as 0x410):
// removal, forced or not, and a rename to another volume never reach what it points at.
TEST(RemoveDir, LinksAreLeaves) {
    TempTree outside, here, there(fsutil::secondVolume());
    const std::wstring kept = outside / L"keep.txt";
    ASSERT_TRUE(fsutil::writeFile(kept, "keep") && SetFileAttributesW(kept.c_str(), FILE_ATTRIBUTE_READONLY));
    const std::string security = securityOf(kept);
    const DWORD attributes = GetFileAttributesW(kept.c_str());
    for (int way : {0, 1, 2}) {  // remove, remove with force, rename across volumes
        const std::wstring root = here / L"t", link = root + L"\\docs\\link";
        fsutil::fillTree(root);
        ASSERT_TRUE(fsutil::unixCommand("/bin/ln", {outside.path(), link}, "-s"));
        ASSERT_EQ(GetFileAttributesW(link.c_str()), DWORD(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
        const std::string listing = fsutil::checksumListing(root);
        if (way < 2) {  // Wine cannot remove the link itself: it reports its target as not empty
            EXPECT_EQ(removeExport(root, way), 1);
            EXPECT_EQ(slot(), osText(ERROR_DIR_NOT_EMPTY, L"delete directory " + link));
        } else {
            EXPECT_EQ(renameExport(root, there / L"dst"), 1);
            EXPECT_EQ(fsutil::checksumListing(root), listing);  // rolled back whole
        }
        EXPECT_EQ(fsutil::names(outside.path()), std::vector<std::wstring>{L"keep.txt"}) << way;
        EXPECT_EQ(fsutil::readFile(kept), "keep");
        EXPECT_EQ(GetFileAttributesW(kept.c_str()), attributes);
        EXPECT_EQ(securityOf(kept), security);
        fsutil::unixCommand("/bin/rm", {link});
        fsutil::removeTree(root);
    }
}

// A recycler level is used only as a plain directory owned by Local System, the Administrators or
// this process's account; others may only put entries in. Wine reports owners from mode bits, so
// the rule is shown on its inputs.
TEST(Recycler, TrustedLevels) {
    const AccountSid system = AccountSid::system(), admins = AccountSid::admins(), user = tokenUser(),
                     other = AccountSid::everyone();
    const std::vector<PSID> trusted = {system.get(), admins.get(), user.get()};
    const struct {
        DWORD attributes;
        PSID owner;
        bool used;
    } cases[] = {{0x10, system.get(), true},   {0x10, admins.get(), true},  {0x16, user.get(), true},
                 {0x10, other.get(), false},   {0x10, nullptr, false},      {0x410, admins.get(), false},
                 {0x20, system.get(), false}};
    for (const auto& c : cases)
        EXPECT_EQ(trustedRecyclerLevel(c.attributes, c.owner, trusted), c.used) << std::hex << c.attributes;
    EXPECT_EQ(recyclerOthersMask & (FILE_LIST_DIRECTORY | DELETE | FILE_DELETE_CHILD | WRITE_DAC), 0u);
}

// A user's link at V:\Recycler to elsewhere is refused: a rename off V: removes its emptied
// source in place, a removal through the recycler fails, and nothing lands at the link's target.
TEST(Recycler, PlantedLinkIsRefused) {
    TempTree elsewhere, here, there(fsutil::secondVolume());
    const std::wstring base = fsutil::secondVolume() + L"\\Recycler", aside = there / L"Recycler-aside";
    const bool had = fsutil::exists(base);
    ASSERT_TRUE(!had || MoveFileW(base.c_str(), aside.c_str()));
    ASSERT_TRUE(fsutil::unixCommand("/bin/ln", {elsewhere.path(), base}, "-s"));
    const std::wstring from = there / L"src", to = here / L"dst", file = there / L"f.txt";
    fsutil::fillTree(from);
    const std::string listing = fsutil::checksumListing(from);
    EXPECT_NO_THROW(renameDir(from.c_str(), to.c_str(), false));
    EXPECT_FALSE(fsutil::exists(from));
    EXPECT_EQ(fsutil::checksumListing(to), listing);
    ASSERT_TRUE(fsutil::writeFile(file, "f"));
    EXPECT_EQ(failureOf([&] { removeFile(file.c_str(), false, true, 0, 0); }).message,
              L"The recycler directory " + base + L" is refused: it is a link or no directory, or another account owns it");
    EXPECT_EQ(fsutil::readFile(file), "f");
    EXPECT_EQ(fsutil::names(elsewhere.path()), std::vector<std::wstring>{});
    fsutil::unixCommand("/bin/rm", {base});
    EXPECT_TRUE(!had || MoveFileW(aside.c_str(), base.c_str()));
}

TEST(RemoveFile, DirectAndThroughRecycler) {
    TempTree tree(fsutil::secondVolume());
    const std::wstring recycler = recyclerDir(tree.path());
    EXPECT_EQ(recycler, fsutil::secondVolume() + L"\\" + recyclerPart);
    const std::wstring readOnly = tree / L"ro.txt", held = tree / L"held.txt";
    for (bool useRecycler : {false, true})  // missing: no error
        EXPECT_NO_THROW(removeFile((tree / L"missing").c_str(), false, useRecycler, 0, 0));

    ASSERT_TRUE(fsutil::writeFile(readOnly, "read only"));
    ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    fsutil::Failure failure = failureOf([&] { removeFile(readOnly.c_str(), false, false, 2, 1); });
    EXPECT_EQ(failure.message, osText(5, L"DeleteFile '" + readOnly + L"'"));
    EXPECT_EQ(failure.where(), "removeFile:863");
    // Through the recycler it is moved, then stays there undeleted.
    const std::vector<std::wstring> before = fsutil::names(recycler);
    EXPECT_NO_THROW(removeFile(readOnly.c_str(), false, true, 0, 0));
    EXPECT_FALSE(fsutil::exists(readOnly));
    std::vector<std::wstring> moved;
    const std::vector<std::wstring> after = fsutil::names(recycler);
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(moved));
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(fsutil::readFile(recycler + L"\\" + moved[0]), "read only");
    fsutil::removeTree(recycler + L"\\" + moved[0]);

    ASSERT_TRUE(fsutil::writeFile(held, "held"));
    HeldElsewhere holder(held);  // every try fails, the retry too
    failure = failureOf([&] { removeFile(held.c_str(), true, true, 1, 1); });
    EXPECT_EQ(failure.message.find(osText(32, L"Move file '" + held + L"' to '" + recycler + L"\\")), 0u);
    EXPECT_EQ(failure.where(), "removeFile:840");
}

// Through the export: one step on a volume (the same directory, renamed);
// entry by entry to another volume and back, byte for byte.
TEST(RenameDir, SameVolumeAcrossAndBack) {
    TempTree here, there(fsutil::secondVolume());
    ASSERT_FALSE(MoveFileExW(here.path().c_str(), (there / L"probe").c_str(), 0));  // no one-step move across
    ASSERT_EQ(GetLastError(), DWORD(ERROR_NOT_SAME_DEVICE));
    // The privileges the move takes stay as the caller had them.
    ASSERT_TRUE(fsutil::processPrivilege(SE_SECURITY_NAME, 1) && fsutil::processPrivilege(SE_RESTORE_NAME, 1));
    for (bool across : {false, true}) {
        const std::wstring from = here / L"src", to = across ? there / L"new\\dst" : here / L"dst";
        fsutil::fillTree(from);
        const std::string listing = fsutil::checksumListing(from);
        const ULONGLONG index = fileIndex(from);
        EXPECT_EQ(renameExport(from, to), 0) << testutil::narrow(slot());
        EXPECT_EQ(slot(), L"");
        EXPECT_FALSE(fsutil::exists(from));
        EXPECT_EQ(fsutil::checksumListing(to), listing) << across;
        EXPECT_EQ(fileIndex(to) == index, !across);
        EXPECT_EQ(renameExport(to, from), 0) << testutil::narrow(slot());
        EXPECT_FALSE(fsutil::exists(to));
        EXPECT_EQ(fsutil::checksumListing(from), listing) << across;
        EXPECT_TRUE(fsutil::processPrivilege(SE_SECURITY_NAME) && fsutil::processPrivilege(SE_RESTORE_NAME));
        UniqueHandle token;  // the thread's private token is gone again
        EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put()));
        fsutil::removeTree(from);
    }
    fsutil::processPrivilege(SE_SECURITY_NAME, 0);
    fsutil::processPrivilege(SE_RESTORE_NAME, 0);
    EXPECT_TRUE(fsutil::isDirectory(VFileName::root(here.path()) + recyclerPart));  // the emptied source's way out
    EXPECT_EQ(renameExport(here / L"src", there / L"dst"), 1);  // gone now
    EXPECT_EQ(slot(), osText(2, L"GetNamedSecurityInfo(" + (here / L"src") + L")"));
}

// An existing destination needs overwrite, then takes the source's entries in.
TEST(RenameDir, ExistingDestinationMerges) {
    TempTree tree;
    const std::wstring from = tree / L"src", to = tree / L"dst";
    fsutil::fillTree(from);
    ASSERT_TRUE(CreateDirectoryW(to.c_str(), nullptr) && fsutil::writeFile(to + L"\\other.txt", "other"));
    ASSERT_TRUE(fsutil::processPrivilege(SE_SECURITY_NAME, 0) && fsutil::processPrivilege(SE_RESTORE_NAME, 0));
    fsutil::Failure failure = failureOf([&] { renameDir(from.c_str(), to.c_str(), false); });
    EXPECT_EQ(failure.message, L"Directory " + to + L" already exists");
    EXPECT_EQ(failure.where(), "renameDir:983");
    EXPECT_FALSE(fsutil::processPrivilege(SE_SECURITY_NAME) || fsutil::processPrivilege(SE_RESTORE_NAME));
    EXPECT_NO_THROW(renameDir(from.c_str(), to.c_str(), true));
    EXPECT_FALSE(fsutil::exists(from));
    EXPECT_EQ(fsutil::names(to),
              (std::vector<std::wstring>{L"a.txt", L"b.bin", L"docs", L"empty", L"other.txt", L"zero.txt"}));
    // "File %s already exists" is out of reach under Wine (MoveFileExW replaces or deletes the file).
}

// Stopped by a conflict (same volume) or a held file (across volumes) at the
// last name ("zz"), what moved comes back byte for byte and a destination the
// rename made goes; without SeSecurityPrivilege nothing moves at all.
TEST(RenameDir, FailureRollsBackOrMovesNothing) {
    TempTree here, there(fsutil::secondVolume());
    for (int stop : {0, 1, 2}) {  // conflict, held file, no privilege
        const std::wstring from = here / L"src", to = stop ? there / L"dst" : here / L"dst";
        fsutil::fillTree(from);
        ASSERT_TRUE(fsutil::writeFile(from + L"\\zz.txt", "source"));
        if (stop == 0) {
            ASSERT_TRUE(CreateDirectoryW(to.c_str(), nullptr) && fsutil::writeFile(to + L"\\zz.txt", "x"));
        }
        const std::string listing = fsutil::checksumListing(from);
        const ULONGLONG index = fileIndex(from + L"\\a.txt");
        std::unique_ptr<HeldElsewhere> holder(stop == 1 ? new HeldElsewhere(from + L"\\zz.txt") : nullptr);
        std::unique_ptr<fsutil::WithoutPrivilege> restricted(stop == 2 ? new fsutil::WithoutPrivilege(SE_SECURITY_NAME)
                                                                       : nullptr);
        fsutil::Failure failure = failureOf([&] { renameDir(from.c_str(), to.c_str(), true); });
        restricted.reset();
        holder.reset();
        const std::wstring moving = L"rename file " + from + L"\\zz.txt to " + to + L"\\zz.txt";
        EXPECT_EQ(failure.message, stop == 0   ? osText(ERROR_ALREADY_EXISTS, moving)
                                   : stop == 1 ? osText(32, moving)
                                               : osText(ERROR_NOT_ALL_ASSIGNED, L"AdjustTokenPrivileges"));
        EXPECT_EQ(failure.where(), stop == 2 ? "setPrivilege:935" : "renameFile:149");
        ASSERT_EQ(failure.locations.size(), 2u);
        EXPECT_EQ(failure.locations[1].context, L"RenameDir('" + from + L"', '" + to + L"')");
        EXPECT_EQ(failure.locations[1].function + ":" + std::to_string(failure.locations[1].line), "renameDir:1040");
        EXPECT_EQ(fsutil::checksumListing(from), listing) << stop;
        EXPECT_EQ(fileIndex(from + L"\\a.txt") != index, stop == 1);  // copied over and back
        EXPECT_EQ(fsutil::names(to), stop ? std::vector<std::wstring>{} : std::vector<std::wstring>{L"zz.txt"});
        EXPECT_EQ(fsutil::exists(to), stop == 0);
        fsutil::removeTree(from);
        fsutil::removeTree(to);
    }
}

// A cancel while the tree moves across volumes (sent when docs\\deep has left the source) ends
// the thread only once every byte is in one place, source or destination; no recycler keeps any.
TEST(RenameDir, CancelledMidwayLosesNothing) {
    getExecuteContext()->cancelationRegistry()->setTracking(true);
    TempTree here, there(fsutil::secondVolume());
    struct Mover {
        std::wstring from, to;
        bool canceled;
        static unsigned __stdcall run(void* self) {
            Mover& m = *static_cast<Mover*>(self);
            try {
                renameDir(m.from.c_str(), m.to.c_str(), false);
            } catch (const ThreadCancelation::ThreadCanceledException&) {
                m.canceled = true;
            } catch (...) {
            }
            return 0;
        }
    } mover{here / L"src", there / L"dst", false};
    fsutil::fillTree(mover.from);
    std::multiset<std::string> expected, found;
    contents(mover.from, expected);
    const std::vector<std::wstring> recycled = fsutil::names(VFileName::root(here.path()) + recyclerPart);
    unsigned id = 0;
    UniqueHandle thread(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Mover::run, &mover, 0, &id)));
    while (WaitForSingleObject(thread.get(), 0) == WAIT_TIMEOUT && fsutil::exists(mover.from + L"\\docs\\deep")) Sleep(0);
    getExecuteContext()->cancelationRegistry()->cancel(id);
    ASSERT_EQ(WaitForSingleObject(thread.get(), 20000), WAIT_OBJECT_0);
    EXPECT_TRUE(mover.canceled);
    contents(mover.from, found);
    contents(mover.to, found);
    EXPECT_EQ(found, expected);
    EXPECT_EQ(fsutil::names(VFileName::root(here.path()) + recyclerPart), recycled);
}

// However the destination is spelled, the subdirectory holding it stays, and so does the source.
TEST(RenameDir, IntoOwnSubdirectory) {
    TempTree tree;
    const std::wstring from = tree / L"src";
    for (const std::wstring& to : {from + L"\\inner\\moved", from + L"/inner/moved", from + L"\\x\\..\\inner\\.\\moved"}) {
        ASSERT_TRUE(CreateDirectoryW(from.c_str(), nullptr) && CreateDirectoryW((from + L"\\inner").c_str(), nullptr));
        ASSERT_TRUE(fsutil::writeFile(from + L"\\a.txt", "a"));
        EXPECT_NO_THROW(renameDir(from.c_str(), to.c_str(), false)) << testutil::narrow(to);
        EXPECT_EQ(fsutil::names(from), std::vector<std::wstring>{L"inner"});
        EXPECT_EQ(fsutil::names(from + L"\\inner\\moved"), std::vector<std::wstring>{L"a.txt"});
        fsutil::removeTree(from);
    }
}

// A second thread re-creates a.txt in the source once the move has taken it: the move cannot
// take the new one too, and a.txt cannot go back; with a held file the move fails anyway.
// Every byte stays once, at the source or the destination, nothing in either recycler.
TEST(RenameDir, ConcurrentWriterLosesNothing) {
    TempTree here, there(fsutil::secondVolume());
    const std::wstring recyclers[] = {VFileName::root(here.path()) + recyclerPart,
                                      fsutil::secondVolume() + L"\\" + recyclerPart};
    for (bool held : {false, true}) {
        const std::wstring from = here / L"src", to = there / L"dst";
        fsutil::fillTree(from);
        ASSERT_TRUE(fsutil::writeFile(from + L"\\zz.txt", "source"));
        std::multiset<std::string> expected, found;
        contents(from, expected);
        const std::vector<std::wstring> recycled[] = {fsutil::names(recyclers[0]), fsutil::names(recyclers[1])};
        std::unique_ptr<HeldElsewhere> holder(held ? new HeldElsewhere(from + L"\\zz.txt") : nullptr);
        Rewriter writer(from + L"\\a.txt");
        fsutil::Failure failure = failureOf([&] { renameDir(from.c_str(), to.c_str(), true); });
        const bool wrote = writer.stop();
        holder.reset();
        if (wrote) expected.insert("a.txt=rewritten");
        contents(from, found);
        contents(to, found);
        EXPECT_EQ(found, expected) << held << " " << testutil::narrow(failure.message);
        EXPECT_EQ(fsutil::names(recyclers[0]), recycled[0]);
        EXPECT_EQ(fsutil::names(recyclers[1]), recycled[1]);
        if (held) {
            EXPECT_EQ(failure.message.find(osText(32, L"rename file " + from + L"\\zz.txt to " + to + L"\\zz.txt")), 0u);
        }
        if (wrote) {
            EXPECT_NE(failure.message.find(L"; not moved back: 'a.txt' stays at '" + to + L"\\a.txt'"), std::wstring::npos)
                << testutil::narrow(failure.message);
        }
        fsutil::removeTree(from);
        fsutil::removeTree(to);
    }
}

TEST(DirectoryExports, RemoveTree) {
    TempTree tree;
    const std::wstring file = tree / L"plain.txt", root = tree / L"t", readOnly = root + L"\\a.txt";
    EXPECT_EQ(removeExport(tree / L"missing", 0), 0);
    EXPECT_EQ(removeExport(L"", 1), 0);
    ASSERT_TRUE(fsutil::writeFile(file, "untouched"));
    EXPECT_EQ(removeExport(file, 0), 1);
    EXPECT_NE(slot().find(L") at delete directory " + file), std::wstring::npos) << testutil::narrow(slot());
    EXPECT_EQ(fsutil::readFile(file), "untouched");
    fsutil::fillTree(root);
    ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(removeExport(root, 0), 1);
    EXPECT_EQ(slot(), osText(5, L"delete file " + readOnly));
    EXPECT_EQ(removeExport(root, 7), 0);  // any non-zero value forces
    EXPECT_EQ(slot(), L"");
    EXPECT_FALSE(fsutil::exists(root));
}

// HVC_createDirectory and HVC_createNestedDirectory: x\y\z where only the drive root exists.
TEST(DirectoryExports, CreateNestedExistingAndWrongNames) {
    for (const char* name : {HVC_NAME_createDirectory, HVC_NAME_createNestedDirectory}) {
        TempTree top(fsutil::secondVolume());
        ASSERT_TRUE(RemoveDirectoryW(top.path().c_str()));
        EXPECT_EQ(createExport(name, top / L"y\\z"), 0) << name << ": " << testutil::narrow(slot());
        EXPECT_TRUE(fsutil::isDirectory(top / L"y\\z"));
        EXPECT_EQ(createExport(name, top / L"y\\z"), 0) << name;  // existing
        EXPECT_EQ(slot(), L"");
        for (const wchar_t* wrong : {L"", L"no-such-first-component\\x"}) {
            EXPECT_EQ(createExport(name, wrong), 1) << name;
            EXPECT_EQ(slot(), L"Unable to create directory with wrong name");
        }
    }
}

