// Tree removal, file removal and tree rename under Wine: read-only entries,
// a DACL that denies everyone, entries held open here or in another process,
// and a second volume (V:, another Linux file system) for the entry-by-entry
// rename and its rollback; the remove and rename exports.
#include <gtest/gtest.h>
#include <windows.h>

#include <iterator>
#include <memory>

#include "childprocess.h"
#include "exports/hvcdmtutils.h"
#include "fs/file.h"
#include "fs/filename.h"
#include "fs/tree.h"
#include "fsutil.h"
#include "runtime/text.h"

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

bool isGuidName(const std::wstring& name) {
    return name.size() == 36 && name[8] == L'-' && name[13] == L'-' && name[18] == L'-' && name[23] == L'-';
}

std::vector<std::wstring> added(const std::vector<std::wstring>& before, const std::vector<std::wstring>& after) {
    std::vector<std::wstring> result;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(result));
    return result;
}

// A file held open without sharing by hvctesthelper ("hold") while this lives.
class HeldByAnotherProcess {
public:
    explicit HeldByAnotherProcess(const std::wstring& path) : name_(fsutil::uniqueName(L"hold")) {
        release_.reset(CreateEventW(nullptr, TRUE, FALSE, (name_ + L"-release").c_str()));
        UniqueHandle held(CreateEventW(nullptr, TRUE, FALSE, (name_ + L"-held").c_str()));
        process_ = childprocess::start({L"hold", path, name_}, nullptr);
        HANDLE waits[2] = {held.get(), process_.get()};
        if (!process_ || WaitForMultipleObjects(2, waits, FALSE, 20000) != WAIT_OBJECT_0)
            ADD_FAILURE() << "the holder did not open the file";
    }
    ~HeldByAnotherProcess() {
        SetEvent(release_.get());
        if (process_) WaitForSingleObject(process_.get(), 20000);
    }

private:
    std::wstring name_;
    UniqueHandle release_, process_;
};

// This thread impersonates its own token less one privilege while it lives.
class WithoutPrivilege {
public:
    explicit WithoutPrivilege(const wchar_t* privilege) {
        HANDLE raw = nullptr;
        LUID_AND_ATTRIBUTES removed = {};
        bool ok = OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &raw) &&
                  LookupPrivilegeValueW(nullptr, privilege, &removed.Luid);
        UniqueHandle process(raw), restricted, impersonation;
        ok = ok && CreateRestrictedToken(process.get(), 0, 0, nullptr, 1, &removed, 0, nullptr, restricted.put());
        ok = ok && DuplicateTokenEx(restricted.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation,
                                    TokenImpersonation, impersonation.put());
        if (!ok || !SetThreadToken(nullptr, impersonation.get())) ADD_FAILURE() << "no restricted token: " << GetLastError();
    }
    ~WithoutPrivilege() { RevertToSelf(); }
};

}  // namespace

// Wine stores neither DACLs nor owners: a DACL denying everyone becomes mode
// 000, shown as read-only, and DeleteFileW refuses it (5) until the force
// step has granted access and cleared read-only. The new owner and the
// entries of the written DACL cannot be observed here.
TEST(RemoveDir, ResistingFilesNeedForce) {
    for (bool denied : {false, true}) {
        TempTree tree;
        const std::wstring root = tree / L"t", file = root + L"\\docs\\readme.txt";
        fsutil::fillTree(root);
        if (denied) {
            ASSERT_EQ(fsutil::denyEveryone(file), 0u);
        } else {
            ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
        }
        fsutil::Failure failure = failureOf([&] { removeDir(root, false, L""); });
        EXPECT_EQ(failure.message, osText(5, L"delete file " + file)) << denied;
        EXPECT_EQ(failure.function() + ":" + std::to_string(failure.line()), "removeDir:259");
        // Files before subdirectories; what went stays gone.
        EXPECT_EQ(fsutil::names(root), (std::vector<std::wstring>{L"docs", L"empty"}));
        EXPECT_EQ(fsutil::names(root + L"\\docs"), (std::vector<std::wstring>{L"deep", L"readme.txt"}));
        EXPECT_NO_THROW(removeDir(root, true, L"")) << denied;
        EXPECT_FALSE(fsutil::exists(root));
    }
}

TEST(RemoveDir, FileMissingRelativeAndBusyPaths) {
    TempTree tree;
    const std::wstring file = tree / L"plain.txt", missing = tree / L"missing", busy = tree / L"t\\busy.log";
    ASSERT_TRUE(fsutil::writeFile(file, "untouched"));
    for (bool force : {false, true}) {  // a file where a directory is expected
        fsutil::Failure failure = failureOf([&] { removeDir(file, force, L""); });
        EXPECT_EQ(failure.message, osText(failure.code, L"delete directory " + file)) << force;
        EXPECT_EQ(failure.line(), 288u);
        EXPECT_EQ(fsutil::readFile(file), "untouched");
    }
    EXPECT_EQ(failureOf([&] { removeDir(missing, false, L""); }).message,
              osText(2, L"GetFileAttributes(" + missing + L")"));

    fsutil::fillTree(tree / L"t");
    ASSERT_TRUE(fsutil::writeFile(busy, "busy"));
    {
        HeldByAnotherProcess holder(busy);  // force cannot help against sharing
        EXPECT_EQ(failureOf([&] { removeDir(tree / L"t", true, L""); }).message, osText(32, L"delete file " + busy));
    }
    const std::wstring previous = VDirectory::current();
    ASSERT_TRUE(SetCurrentDirectoryW(tree.path().c_str()));
    EXPECT_NO_THROW(removeDir(L"t", false, L""));
    SetCurrentDirectoryW(previous.c_str());
    EXPECT_FALSE(fsutil::exists(tree / L"t"));
}

TEST(RemoveDir, ThroughRecycler) {
    TempTree tree, recycler;
    const std::wstring root = tree / L"t", readOnly = root + L"\\docs\\readme.txt", held = root + L"\\held.txt";
    fsutil::fillTree(root);
    ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    // Moved there, but not deletable: it stays, and the removal goes on.
    EXPECT_NO_THROW(removeDir(root, false, recycler.path()));
    EXPECT_FALSE(fsutil::exists(root));
    std::vector<std::wstring> left = fsutil::names(recycler.path());
    ASSERT_EQ(left.size(), 1u);
    EXPECT_TRUE(isGuidName(left[0])) << testutil::narrow(left[0]);
    EXPECT_EQ(fsutil::readFile(recycler / left[0]), std::string(70000, 'r'));

    // Not even movable: the move's error, or with force the retried move's.
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr) && fsutil::writeFile(held, "held"));
    fsutil::OpenWithoutSharing holder(held);
    for (bool force : {false, true}) {
        fsutil::Failure failure = failureOf([&] { removeDir(root, force, recycler.path()); });
        EXPECT_EQ(failure.message.find(osText(32, L"Move file '" + held + L"' to '" + recycler.path() + L"\\")), 0u);
        EXPECT_EQ(failure.function() + ":" + std::to_string(failure.line()),
                  force ? "VFile::moveEx:160" : "removeDir:247");
    }
    EXPECT_TRUE(fsutil::exists(held));
}

TEST(RemoveFile, DirectAndThroughRecycler) {
    TempTree tree(fsutil::secondVolume());
    const std::wstring recycler = recyclerDir(tree.path());
    EXPECT_EQ(recycler, fsutil::secondVolume() + L"\\" + recyclerPart);
    const std::wstring missing = tree / L"missing.txt", readOnly = tree / L"ro.txt", held = tree / L"held.txt";
    EXPECT_NO_THROW(removeFile(missing.c_str(), false, false, 0, 0));
    EXPECT_NO_THROW(removeFile(missing.c_str(), false, true, 0, 0));

    ASSERT_TRUE(fsutil::writeFile(readOnly, "read only"));
    ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    fsutil::Failure failure = failureOf([&] { removeFile(readOnly.c_str(), false, false, 2, 1); });
    EXPECT_EQ(failure.message, osText(5, L"DeleteFile '" + readOnly + L"'"));
    EXPECT_EQ(failure.line(), 863u);
    // Through the recycler it is moved, then stays there undeleted.
    const std::vector<std::wstring> before = fsutil::names(recycler);
    EXPECT_NO_THROW(removeFile(readOnly.c_str(), false, true, 0, 0));
    EXPECT_FALSE(fsutil::exists(readOnly));
    std::vector<std::wstring> moved = added(before, fsutil::names(recycler));
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(fsutil::readFile(recycler + L"\\" + moved[0]), "read only");
    fsutil::removeTree(recycler + L"\\" + moved[0]);

    ASSERT_TRUE(fsutil::writeFile(held, "held"));
    fsutil::OpenWithoutSharing holder(held);  // every try fails, the retry too
    failure = failureOf([&] { removeFile(held.c_str(), true, true, 1, 1); });
    EXPECT_EQ(failure.message.find(osText(32, L"Move file '" + held + L"' to '" + recycler + L"\\")), 0u);
    EXPECT_EQ(failure.line(), 840u);
}

TEST(RenameDir, OneStepOnTheSameVolume) {
    TempTree tree;
    const std::wstring from = tree / L"src", to = tree / L"dst";
    fsutil::fillTree(from);
    const std::string listing = fsutil::checksumListing(from);
    const ULONGLONG index = fileIndex(from);
    EXPECT_NO_THROW(renameDir(from.c_str(), to.c_str(), true));
    EXPECT_EQ(fsutil::checksumListing(to), listing);
    EXPECT_EQ(fileIndex(to), index);  // the same directory, renamed
    EXPECT_FALSE(fsutil::exists(from));
}

TEST(RenameDir, AcrossVolumesAndBack) {
    TempTree here, there(fsutil::secondVolume());
    const std::wstring from = here / L"src", to = there / L"new\\dst";
    fsutil::fillTree(from);
    const std::string listing = fsutil::checksumListing(from);
    ASSERT_FALSE(MoveFileExW(from.c_str(), (there / L"probe").c_str(), 0));  // no directory moves in one step
    ASSERT_EQ(GetLastError(), DWORD(ERROR_NOT_SAME_DEVICE));

    EXPECT_NO_THROW(renameDir(from.c_str(), to.c_str(), false));
    EXPECT_FALSE(fsutil::exists(from));
    EXPECT_EQ(fsutil::checksumListing(to), listing);
    EXPECT_TRUE(fsutil::isDirectory(VFileName::root(from) + recyclerPart));  // the source's way out
    EXPECT_NO_THROW(renameDir(to.c_str(), from.c_str(), false));
    EXPECT_FALSE(fsutil::exists(to));
    EXPECT_EQ(fsutil::checksumListing(from), listing);
}

TEST(RenameDir, ExistingDestinationMerges) {
    TempTree here, there(fsutil::secondVolume());
    for (const std::wstring& to : {here / L"dst", there / L"dst"}) {
        const std::wstring from = here / L"src";
        fsutil::fillTree(from);
        ASSERT_TRUE(CreateDirectoryW(to.c_str(), nullptr) && fsutil::writeFile(to + L"\\other.txt", "other"));
        fsutil::Failure failure = failureOf([&] { renameDir(from.c_str(), to.c_str(), false); });
        EXPECT_EQ(failure.message, L"Directory " + to + L" already exists");
        EXPECT_EQ(failure.line(), 983u);
        EXPECT_NO_THROW(renameDir(from.c_str(), to.c_str(), true));
        EXPECT_FALSE(fsutil::exists(from));
        EXPECT_EQ(fsutil::names(to),
                  (std::vector<std::wstring>{L"a.txt", L"b.bin", L"docs", L"empty", L"other.txt", L"zero.txt"}));
        fsutil::removeTree(to);
    }
    // "File %s already exists" cannot be reached under Wine: MoveFileExW with
    // MOVEFILE_REPLACE_EXISTING replaces a file with the directory on one
    // volume, and deletes it before failing with 2 across volumes.
}

// A conflict (same volume) or a held file (across volumes) stops the move
// midway; what was moved goes back byte for byte, and a destination the
// rename made goes. Names come sorted, so the "zz" entry is reached last.
TEST(RenameDir, FailureMidwayRollsBack) {
    TempTree here, there(fsutil::secondVolume());
    for (bool acrossVolumes : {false, true}) {
        const std::wstring from = here / L"src", to = acrossVolumes ? there / L"dst" : here / L"dst";
        fsutil::fillTree(from);
        ASSERT_TRUE(fsutil::writeFile(from + L"\\zz.txt", "source"));
        if (!acrossVolumes) {
            ASSERT_TRUE(CreateDirectoryW(to.c_str(), nullptr) && fsutil::writeFile(to + L"\\zz.txt", "x"));
        }
        const std::string listing = fsutil::checksumListing(from);
        const ULONGLONG index = fileIndex(from + L"\\a.txt");
        {
            std::unique_ptr<fsutil::OpenWithoutSharing> holder;
            if (acrossVolumes) holder.reset(new fsutil::OpenWithoutSharing(from + L"\\zz.txt"));
            fsutil::Failure failure = failureOf([&] { renameDir(from.c_str(), to.c_str(), true); });
            EXPECT_EQ(failure.message, osText(failure.code, L"rename file " + from + L"\\zz.txt to " + to + L"\\zz.txt"));
            EXPECT_EQ(failure.code, acrossVolumes ? 32u : DWORD(ERROR_ALREADY_EXISTS));
            ASSERT_EQ(failure.locations.size(), 2u);
            EXPECT_EQ(failure.locations[1].context, L"RenameDir('" + from + L"', '" + to + L"')");
            EXPECT_EQ(failure.locations[1].function + ":" + std::to_string(failure.locations[1].line), "renameDir:1040");
        }
        EXPECT_EQ(fsutil::checksumListing(from), listing) << acrossVolumes;
        // Across volumes the file went over as a copy and came back as one.
        EXPECT_EQ(fileIndex(from + L"\\a.txt") != index, acrossVolumes);
        EXPECT_EQ(fsutil::names(to), acrossVolumes ? std::vector<std::wstring>{} : std::vector<std::wstring>{L"zz.txt"});
        EXPECT_EQ(fsutil::exists(to), !acrossVolumes);
        fsutil::removeTree(from);
        fsutil::removeTree(to);
    }
}

// The entry-by-entry fallback takes SeSecurityPrivilege first: without it
// the rename fails before anything moves.
TEST(RenameDir, FallbackNeedsTheSecurityPrivilege) {
    TempTree here, there(fsutil::secondVolume());
    const std::wstring from = here / L"src", to = there / L"dst";
    fsutil::fillTree(from);
    const std::string listing = fsutil::checksumListing(from);
    fsutil::Failure failure;
    {
        WithoutPrivilege restricted(L"SeSecurityPrivilege");
        failure = failureOf([&] { renameDir(from.c_str(), to.c_str(), false); });
    }
    EXPECT_EQ(failure.message, osText(ERROR_NOT_ALL_ASSIGNED, L"AdjustTokenPrivileges"));
    EXPECT_EQ(failure.function() + ":" + std::to_string(failure.line()), "setPrivilege:935");
    ASSERT_EQ(failure.locations.size(), 2u);
    EXPECT_EQ(failure.locations[1].context, L"RenameDir('" + from + L"', '" + to + L"')");
    EXPECT_EQ(fsutil::checksumListing(from), listing);
    EXPECT_FALSE(fsutil::exists(to));
}

TEST(RenameDir, IntoOwnSubdirectory) {
    TempTree tree;
    const std::wstring from = tree / L"src", to = from + L"\\inner\\moved";
    ASSERT_TRUE(CreateDirectoryW(from.c_str(), nullptr) && CreateDirectoryW((from + L"\\inner").c_str(), nullptr));
    ASSERT_TRUE(fsutil::writeFile(from + L"\\a.txt", "a"));
    EXPECT_NO_THROW(renameDir(from.c_str(), to.c_str(), false));
    // The subdirectory holding the destination stays, and so does the source.
    EXPECT_EQ(fsutil::names(from), std::vector<std::wstring>{L"inner"});
    EXPECT_EQ(fsutil::names(to), std::vector<std::wstring>{L"a.txt"});
}

TEST(DirectoryExports, RemoveAndRename) {
    HMODULE dll = LoadLibraryW(L"hvcdmtutils.dll");
    ASSERT_NE(dll, nullptr);
    auto bind = [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(dll, name)); };
    auto removeTree = reinterpret_cast<HVC_RemoveDirectoryTree_t>(bind(HVC_NAME_RemoveDirectoryTree));
    auto rename = reinterpret_cast<HVC_renameDirectory_t>(bind(HVC_NAME_renameDirectory));
    auto lastError = reinterpret_cast<HVC_GetLastHvcDmtError_t>(bind(HVC_NAME_GetLastHvcDmtError));
    ASSERT_TRUE(removeTree && rename && lastError);
    auto slot = [&] { return lastError() ? wstr(lastError(), 0) : L""; };
    auto a = [](const std::wstring& path) { return cstr(path, 0); };
    TempTree here, there(fsutil::secondVolume());

    EXPECT_EQ(removeTree(a(here / L"missing").c_str(), 0), 0);
    EXPECT_EQ(removeTree("", 1), 0);
    const std::wstring file = here / L"plain.txt";
    ASSERT_TRUE(fsutil::writeFile(file, "untouched"));
    EXPECT_EQ(removeTree(a(file).c_str(), 0), 1);
    EXPECT_NE(slot().find(L") at delete directory " + file), std::wstring::npos) << testutil::narrow(slot());
    EXPECT_EQ(fsutil::readFile(file), "untouched");

    const std::wstring from = here / L"src", readOnly = from + L"\\a.txt", moved = there / L"moved";
    fsutil::fillTree(from);
    const std::string listing = fsutil::checksumListing(from);
    EXPECT_EQ(rename(a(from).c_str(), a(moved).c_str()), 0);
    EXPECT_EQ(slot(), L"");
    EXPECT_EQ(fsutil::checksumListing(moved), listing);
    EXPECT_EQ(rename(a(from).c_str(), a(moved).c_str()), 1);  // gone now
    EXPECT_EQ(slot(), osText(2, L"GetNamedSecurityInfo(" + from + L")"));
    EXPECT_EQ(rename(a(moved).c_str(), a(from).c_str()), 0);

    ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(removeTree(a(from).c_str(), 0), 1);
    EXPECT_EQ(slot(), osText(5, L"delete file " + readOnly));
    EXPECT_EQ(removeTree(a(from).c_str(), 7), 0);  // any non-zero value forces
    EXPECT_EQ(slot(), L"");
    EXPECT_FALSE(fsutil::exists(from));
}
