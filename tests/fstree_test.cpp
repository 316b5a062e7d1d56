// Tree removal, single-file removal and tree rename on the real file system
// under Wine: read-only entries, entries whose DACL denies everyone, entries
// held open here or in another process, a second volume (V:, another Linux
// file system) for the entry-by-entry rename and its rollback, and the
// remove and rename exports.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>

#include "childprocess.h"
#include "exports/hvcdmtutils.h"
#include "fs/file.h"
#include "fs/filename.h"
#include "fs/tree.h"
#include "runtime/exceptions.h"
#include "fsutil.h"
#include "runtime/text.h"
#include "testutil.h"

namespace {

using fsutil::TempTree;

struct Failure {
    std::wstring message;
    DWORD code = 0;
    std::vector<ErrorLocation> locations;
    bool thrown = false;
};
Failure failureOf(const std::function<void()>& f) {
    Failure failure;
    failure.message = L"(nothing thrown)";
    try {
        f();
    } catch (const vosexception& e) {
        failure = {e.message(), e.errorCode(), e.locations(), true};
    } catch (const vexception& e) {
        failure = {e.message(), 0, e.locations(), true};
    }
    return failure;
}

std::wstring osText(DWORD code, const std::wstring& where) {
    return testutil::systemText(code) + L" (Error code " + std::to_wstring(code) + L") at " + where;
}

bool startsWith(const std::wstring& text, const std::wstring& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

// The volume's file index of an entry: the same object keeps it across a
// rename, a copy gets a new one.
ULONGLONG fileIndex(const std::wstring& path) {
    UniqueHandle handle(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!handle || !GetFileInformationByHandle(handle.get(), &info)) return 0;
    return (ULONGLONG(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}

// The file held open without sharing by a child process (hvctesthelper
// hold) for the life of this object.
class HeldByAnotherProcess {
public:
    explicit HeldByAnotherProcess(const std::wstring& path) : name_(fsutil::uniqueName(L"hold")) {
        release_.reset(CreateEventW(nullptr, TRUE, FALSE, (name_ + L"-release").c_str()));
        held_.reset(CreateEventW(nullptr, TRUE, FALSE, (name_ + L"-held").c_str()));
        process_ = childprocess::start({L"hold", path, name_}, nullptr);
        HANDLE waits[2] = {held_.get(), process_.get()};
        if (!process_ || WaitForMultipleObjects(2, waits, FALSE, 20000) != WAIT_OBJECT_0)
            ADD_FAILURE() << "the holder did not open the file";
    }
    ~HeldByAnotherProcess() {
        SetEvent(release_.get());
        if (process_) WaitForSingleObject(process_.get(), 20000);
    }

private:
    std::wstring name_;
    UniqueHandle release_, held_, process_;
};

// Recycler names are new GUIDs.
bool isGuidName(const std::wstring& name) {
    return name.size() == 36 && name[8] == L'-' && name[13] == L'-' && name[18] == L'-' && name[23] == L'-';
}

const std::wstring recyclerSubdirectory = L"Recycler\\{86066D57-9347-46a7-B4DB-971D9EF36D29}";

}  // namespace

TEST(RemoveDir, ReadOnlyFileNeedsForce) {
    TempTree tree;
    const std::wstring root = tree / L"t", readOnly = root + L"\\docs\\readme.txt";
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    fsutil::fillTree(root);
    ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));

    Failure failure = failureOf([&] { removeDir(root, false, L""); });
    EXPECT_EQ(failure.message, osText(5, L"delete file " + readOnly));
    EXPECT_EQ(failure.code, 5u);
    ASSERT_EQ(failure.locations.size(), 1u);
    EXPECT_EQ(failure.locations[0].function, "removeDir");
    EXPECT_EQ(failure.locations[0].line, 259u);
    // A directory's files go before its subdirectories; what went stays gone.
    EXPECT_EQ(fsutil::names(root), (std::vector<std::wstring>{L"docs", L"empty"}));
    EXPECT_EQ(fsutil::names(root + L"\\docs"), (std::vector<std::wstring>{L"deep", L"readme.txt"}));

    EXPECT_NO_THROW(removeDir(root, true, L""));
    EXPECT_FALSE(fsutil::exists(root));
}

// Wine stores neither DACLs nor owners: a DACL that denies everyone becomes
// mode 000, shown as read-only, and DeleteFileW refuses it with 5 until the
// force step has written a granting DACL and cleared read-only. That the
// owner changed and which entries the written DACL holds cannot be seen here.
TEST(RemoveDir, DeniedFileNeedsForce) {
    TempTree tree;
    const std::wstring root = tree / L"t", denied = root + L"\\locked.dat";
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    ASSERT_TRUE(fsutil::writeFile(denied, "locked"));
    ASSERT_EQ(fsutil::denyEveryone(denied), 0u);

    Failure failure = failureOf([&] { removeDir(root, false, L""); });
    EXPECT_EQ(failure.message, osText(5, L"delete file " + denied));
    EXPECT_TRUE(fsutil::exists(denied));
    EXPECT_NO_THROW(removeDir(root, true, L""));
    EXPECT_FALSE(fsutil::exists(root));
}

TEST(RemoveDir, OddPaths) {
    TempTree tree;
    const std::wstring file = tree / L"plain.txt";
    ASSERT_TRUE(fsutil::writeFile(file, "untouched"));
    // A file where a directory is expected: not deleted, with or without force.
    for (bool force : {false, true}) {
        Failure failure = failureOf([&] { removeDir(file, force, L""); });
        EXPECT_TRUE(startsWith(failure.message, testutil::systemText(failure.code)));
        EXPECT_EQ(failure.message, osText(failure.code, L"delete directory " + file)) << force;
        ASSERT_FALSE(failure.locations.empty());
        EXPECT_EQ(failure.locations[0].line, 288u);
        EXPECT_EQ(fsutil::readFile(file), "untouched");
    }
    // A missing directory: its attributes cannot be read.
    const std::wstring missing = tree / L"missing";
    Failure failure = failureOf([&] { removeDir(missing, false, L""); });
    EXPECT_EQ(failure.message, osText(2, L"GetFileAttributes(" + missing + L")"));

    // A relative path, from the current directory.
    ASSERT_TRUE(CreateDirectoryW((tree / L"rel").c_str(), nullptr));
    ASSERT_TRUE(fsutil::writeFile(tree / L"rel\\f", "x"));
    const std::wstring previous = VDirectory::current();
    ASSERT_TRUE(SetCurrentDirectoryW(tree.path().c_str()));
    EXPECT_NO_THROW(removeDir(L"rel", false, L""));
    SetCurrentDirectoryW(previous.c_str());
    EXPECT_FALSE(fsutil::exists(tree / L"rel"));
}

TEST(RemoveDir, EntryOpenInAnotherProcess) {
    TempTree tree;
    const std::wstring root = tree / L"t", busy = root + L"\\busy.log";
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    ASSERT_TRUE(fsutil::writeFile(root + L"\\a.txt", "a"));
    ASSERT_TRUE(fsutil::writeFile(busy, "busy"));
    {
        HeldByAnotherProcess holder(busy);
        // The force step cannot help against a sharing violation.
        Failure failure = failureOf([&] { removeDir(root, true, L""); });
        EXPECT_EQ(failure.message, osText(32, L"delete file " + busy));
        EXPECT_EQ(fsutil::names(root), std::vector<std::wstring>{L"busy.log"});
    }
    EXPECT_NO_THROW(removeDir(root, false, L""));
    EXPECT_FALSE(fsutil::exists(root));
}

TEST(RemoveDir, ThroughRecycler) {
    TempTree tree, recycler(L"recycler");
    const std::wstring root = tree / L"t", readOnly = root + L"\\docs\\readme.txt";
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    fsutil::fillTree(root);
    ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));

    // Moved into the recycler, but not deletable there: it stays, no error.
    EXPECT_NO_THROW(removeDir(root, false, recycler.path()));
    EXPECT_FALSE(fsutil::exists(root));
    std::vector<std::wstring> left = fsutil::names(recycler.path());
    ASSERT_EQ(left.size(), 1u);
    EXPECT_TRUE(isGuidName(left[0])) << testutil::narrow(left[0]);
    EXPECT_EQ(fsutil::readFile(recycler / left[0]), std::string(70000, 'r'));

    // An entry that cannot even be moved: without force the move's own error,
    // with force the retried move's.
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    const std::wstring held = root + L"\\held.txt";
    ASSERT_TRUE(fsutil::writeFile(held, "held"));
    fsutil::OpenWithoutSharing holder(held);
    struct {
        bool force;
        const char* function;
        unsigned line;
    } cases[] = {{false, "removeDir", 247}, {true, "VFile::moveEx", 160}};
    for (const auto& c : cases) {
        Failure failure = failureOf([&] { removeDir(root, c.force, recycler.path()); });
        EXPECT_EQ(failure.code, 32u);
        EXPECT_TRUE(startsWith(failure.message, osText(32, L"Move file '" + held + L"' to '" + recycler.path() + L"\\")))
            << testutil::narrow(failure.message);
        ASSERT_FALSE(failure.locations.empty());
        EXPECT_EQ(failure.locations[0].function, c.function);
        EXPECT_EQ(failure.locations[0].line, c.line);
    }
    EXPECT_EQ(fsutil::readFile(held), "");  // still held: unreadable, but there
    EXPECT_TRUE(fsutil::exists(held));
}

TEST(RecyclerDir, OnePerVolume) {
    TempTree tree(L"tree", fsutil::secondVolume());
    const std::wstring volume = fsutil::secondVolume();
    const std::wstring expected = volume + L"\\" + recyclerSubdirectory;
    const bool existed = fsutil::exists(volume + L"\\Recycler");
    EXPECT_EQ(recyclerDir(tree / L"a\\b"), expected);
    EXPECT_TRUE(fsutil::isDirectory(expected));
    EXPECT_EQ(recyclerDir(tree.path()), expected);  // found, not made again
    // A relative path: the current directory's volume.
    const std::wstring previous = VDirectory::current();
    ASSERT_TRUE(SetCurrentDirectoryW(tree.path().c_str()));
    EXPECT_EQ(recyclerDir(L"relative\\x"), expected);
    SetCurrentDirectoryW(previous.c_str());
    if (!existed) fsutil::removeTree(volume + L"\\Recycler");
}

TEST(RemoveFile, Cases) {
    TempTree tree(L"tree", fsutil::secondVolume());
    const std::wstring recycler = fsutil::secondVolume() + L"\\" + recyclerSubdirectory;
    const std::wstring missing = tree / L"missing.txt";
    EXPECT_NO_THROW(removeFile(missing.c_str(), false, false, 0, 0));
    EXPECT_NO_THROW(removeFile(missing.c_str(), false, true, 0, 0));

    const std::wstring readOnly = tree / L"ro.txt";
    ASSERT_TRUE(fsutil::writeFile(readOnly, "read only"));
    ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    Failure failure = failureOf([&] { removeFile(readOnly.c_str(), false, false, 2, 1); });
    EXPECT_EQ(failure.message, osText(5, L"DeleteFile '" + readOnly + L"'"));
    ASSERT_FALSE(failure.locations.empty());
    EXPECT_EQ(failure.locations[0].function, "removeFile");
    EXPECT_EQ(failure.locations[0].line, 863u);
    EXPECT_NO_THROW(removeFile(readOnly.c_str(), true, false, 0, 0));
    EXPECT_FALSE(fsutil::exists(readOnly));

    // Through the recycler a read-only file is moved, then stays there.
    ASSERT_TRUE(fsutil::writeFile(readOnly, "read only"));
    ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    const std::vector<std::wstring> before = fsutil::names(recycler);
    EXPECT_NO_THROW(removeFile(readOnly.c_str(), false, true, 0, 0));
    EXPECT_FALSE(fsutil::exists(readOnly));
    std::vector<std::wstring> after = fsutil::names(recycler);
    std::vector<std::wstring> added;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(added));
    ASSERT_EQ(added.size(), 1u);
    EXPECT_TRUE(isGuidName(added[0]));
    EXPECT_EQ(fsutil::readFile(recycler + L"\\" + added[0]), "read only");
    fsutil::removeTree(recycler + L"\\" + added[0]);

    // Held open: every move fails, the retries too.
    const std::wstring held = tree / L"held.txt";
    ASSERT_TRUE(fsutil::writeFile(held, "held"));
    fsutil::OpenWithoutSharing holder(held);
    failure = failureOf([&] { removeFile(held.c_str(), true, true, 1, 1); });
    EXPECT_EQ(failure.code, 32u);
    EXPECT_TRUE(startsWith(failure.message, osText(32, L"Move file '" + held + L"' to '" + recycler + L"\\")))
        << testutil::narrow(failure.message);
    ASSERT_FALSE(failure.locations.empty());
    EXPECT_EQ(failure.locations[0].line, 840u);
}

// One MoveFileExW: the directory keeps its identity.
TEST(RenameDir, SameVolumeInOneStep) {
    TempTree tree;
    const std::wstring from = tree / L"src", to = tree / L"renamed\\dst";
    ASSERT_TRUE(CreateDirectoryW(from.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((tree / L"renamed").c_str(), nullptr));
    fsutil::fillTree(from);
    const std::string listing = fsutil::checksumListing(from);
    const ULONGLONG index = fileIndex(from);
    ASSERT_NE(index, 0u);
    EXPECT_NO_THROW(renameDir(from.c_str(), to.c_str(), true));
    EXPECT_FALSE(fsutil::exists(from));
    EXPECT_EQ(fsutil::checksumListing(to), listing);
    EXPECT_EQ(fileIndex(to), index);
}

TEST(RenameDir, AcrossVolumesEntryByEntry) {
    TempTree here, there(L"tree", fsutil::secondVolume());
    const std::wstring from = here / L"src", to = there / L"new\\dst";
    ASSERT_TRUE(CreateDirectoryW(from.c_str(), nullptr));
    fsutil::fillTree(from);
    const std::string listing = fsutil::checksumListing(from);
    // The precondition: no directory moves to that volume in one step.
    ASSERT_FALSE(MoveFileExW(from.c_str(), (there / L"probe").c_str(), 0));
    ASSERT_EQ(GetLastError(), DWORD(ERROR_NOT_SAME_DEVICE));

    EXPECT_NO_THROW(renameDir(from.c_str(), to.c_str(), false));
    EXPECT_FALSE(fsutil::exists(from));
    EXPECT_EQ(fsutil::checksumListing(to), listing);
    // The emptied source went through its own volume's recycler.
    EXPECT_TRUE(fsutil::isDirectory(VFileName::root(from) + recyclerSubdirectory));

    // And back again, onto the first volume.
    EXPECT_NO_THROW(renameDir(to.c_str(), from.c_str(), false));
    EXPECT_FALSE(fsutil::exists(to));
    EXPECT_EQ(fsutil::checksumListing(from), listing);
}

TEST(RenameDir, OverwriteMergesIntoExistingDirectory) {
    TempTree here, there(L"tree", fsutil::secondVolume());
    for (const std::wstring& to : {here / L"dst", there / L"dst"}) {
        const std::wstring from = here / L"src";
        ASSERT_TRUE(CreateDirectoryW(from.c_str(), nullptr));
        fsutil::fillTree(from);
        ASSERT_TRUE(CreateDirectoryW(to.c_str(), nullptr));
        ASSERT_TRUE(fsutil::writeFile(to + L"\\other.txt", "other"));
        const std::string listing = fsutil::checksumListing(from);

        // Without overwrite an existing destination is refused before anything moves.
        Failure failure = failureOf([&] { renameDir(from.c_str(), to.c_str(), false); });
        EXPECT_EQ(failure.message, L"Directory " + to + L" already exists");
        ASSERT_EQ(failure.locations.size(), 2u);
        EXPECT_EQ(failure.locations[0].line, 983u);
        EXPECT_EQ(fsutil::checksumListing(from), listing);

        EXPECT_NO_THROW(renameDir(from.c_str(), to.c_str(), true));
        EXPECT_FALSE(fsutil::exists(from));
        EXPECT_EQ(fsutil::names(to), (std::vector<std::wstring>{L"a.txt", L"b.bin", L"docs", L"empty", L"other.txt",
                                                                 L"zero.txt"}));
        EXPECT_EQ(fsutil::readFile(to + L"\\docs\\deep\\note.txt"), "deep note");
        fsutil::removeTree(to);
    }
    // A file in the destination's place ("File %s already exists") cannot be
    // reached under Wine: its MoveFileExW with MOVEFILE_REPLACE_EXISTING
    // replaces the file with the directory on one volume, and deletes the
    // file before failing with 2 across volumes, read-only or not.
}

// A name that already exists in the destination stops the merge; what was
// moved goes back, byte for byte, and the failure carries the catch point.
TEST(RenameDir, ConflictRollsBack) {
    TempTree tree;
    const std::wstring from = tree / L"src", to = tree / L"dst";
    ASSERT_TRUE(CreateDirectoryW(from.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(to.c_str(), nullptr));
    fsutil::fillTree(from);
    // Listed last (names come sorted), so everything else moves first.
    ASSERT_TRUE(fsutil::writeFile(from + L"\\zz.txt", "source"));
    ASSERT_TRUE(fsutil::writeFile(to + L"\\zz.txt", "destination"));
    const std::string sourceListing = fsutil::checksumListing(from), targetListing = fsutil::checksumListing(to);

    Failure failure = failureOf([&] { renameDir(from.c_str(), to.c_str(), true); });
    EXPECT_TRUE(failure.code == ERROR_ALREADY_EXISTS || failure.code == ERROR_FILE_EXISTS) << failure.code;
    EXPECT_EQ(failure.message,
              osText(failure.code, L"rename file " + from + L"\\zz.txt to " + to + L"\\zz.txt"));
    ASSERT_EQ(failure.locations.size(), 2u);
    EXPECT_EQ(failure.locations[0].function, "renameFile");
    EXPECT_EQ(failure.locations[1].context, L"RenameDir('" + from + L"', '" + to + L"')");
    EXPECT_EQ(failure.locations[1].function, "renameDir");
    EXPECT_EQ(failure.locations[1].line, 1040u);
    EXPECT_EQ(fsutil::checksumListing(from), sourceListing);
    EXPECT_EQ(fsutil::checksumListing(to), targetListing);
}

// Across volumes the moved files are copies: after the rollback they are
// back, byte for byte, as new files.
TEST(RenameDir, AcrossVolumesRollsBack) {
    TempTree here, there(L"tree", fsutil::secondVolume());
    const std::wstring from = here / L"src", to = there / L"dst";
    ASSERT_TRUE(CreateDirectoryW(from.c_str(), nullptr));
    fsutil::fillTree(from);
    ASSERT_TRUE(fsutil::writeFile(from + L"\\zz-held.txt", "held"));
    const std::string listing = fsutil::checksumListing(from);
    const ULONGLONG index = fileIndex(from + L"\\a.txt");
    {
        fsutil::OpenWithoutSharing holder(from + L"\\zz-held.txt");
        Failure failure = failureOf([&] { renameDir(from.c_str(), to.c_str(), true); });
        EXPECT_EQ(failure.code, 32u);
        EXPECT_EQ(failure.message, osText(32, L"rename file " + from + L"\\zz-held.txt to " + to + L"\\zz-held.txt"));
        ASSERT_FALSE(failure.locations.empty());
        EXPECT_EQ(failure.locations.back().context, L"RenameDir('" + from + L"', '" + to + L"')");
    }
    EXPECT_EQ(fsutil::checksumListing(from), listing);
    EXPECT_NE(fileIndex(from + L"\\a.txt"), index);  // it went over and came back
    EXPECT_FALSE(fsutil::exists(to));                 // made by the rename, so removed
}

TEST(RenameDir, IntoOwnSubdirectory) {
    TempTree tree;
    const std::wstring from = tree / L"src", to = from + L"\\inner\\moved";
    ASSERT_TRUE(CreateDirectoryW(from.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((from + L"\\inner").c_str(), nullptr));
    ASSERT_TRUE(fsutil::writeFile(from + L"\\a.txt", "a"));
    ASSERT_TRUE(fsutil::writeFile(from + L"\\inner\\i.txt", "i"));
    EXPECT_NO_THROW(renameDir(from.c_str(), to.c_str(), false));
    // The subdirectory holding the destination stays, and so does the source.
    EXPECT_EQ(fsutil::names(from), std::vector<std::wstring>{L"inner"});
    EXPECT_EQ(fsutil::names(from + L"\\inner"), (std::vector<std::wstring>{L"i.txt", L"moved"}));
    EXPECT_EQ(fsutil::names(to), std::vector<std::wstring>{L"a.txt"});
}

namespace {

class DirectoryExports : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = LoadLibraryW(L"hvcdmtutils.dll");
        ASSERT_NE(module_, nullptr);
        removeTree = bind<HVC_RemoveDirectoryTree_t>(HVC_NAME_RemoveDirectoryTree);
        renameDirectory = bind<HVC_renameDirectory_t>(HVC_NAME_renameDirectory);
        lastError = bind<HVC_GetLastHvcDmtError_t>(HVC_NAME_GetLastHvcDmtError);
        ASSERT_TRUE(removeTree && renameDirectory && lastError);
    }
    template <class T>
    T bind(const char* name) {
        return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }
    std::wstring slot() { return lastError() ? wstr(lastError(), 0) : L""; }

    HMODULE module_ = nullptr;
    HVC_RemoveDirectoryTree_t removeTree = nullptr;
    HVC_renameDirectory_t renameDirectory = nullptr;
    HVC_GetLastHvcDmtError_t lastError = nullptr;
};

}  // namespace

TEST_F(DirectoryExports, RemoveDirectoryTree) {
    TempTree tree;
    EXPECT_EQ(removeTree(cstr(tree / L"missing", 0).c_str(), 0), 0);
    EXPECT_EQ(slot(), L"");
    EXPECT_EQ(removeTree("", 1), 0);

    const std::wstring file = tree / L"plain.txt";
    ASSERT_TRUE(fsutil::writeFile(file, "untouched"));
    EXPECT_EQ(removeTree(cstr(file, 0).c_str(), 0), 1);
    const std::wstring text = slot();
    EXPECT_NE(text.find(L") at delete directory " + file), std::wstring::npos) << testutil::narrow(text);
    EXPECT_EQ(fsutil::readFile(file), "untouched");

    const std::wstring root = tree / L"t", readOnly = root + L"\\a.txt";
    ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
    fsutil::fillTree(root);
    ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(removeTree(cstr(root, 0).c_str(), 0), 1);
    EXPECT_EQ(slot(), osText(5, L"delete file " + readOnly));
    EXPECT_EQ(removeTree(cstr(root, 0).c_str(), 7), 0);  // any non-zero value forces
    EXPECT_EQ(slot(), L"");
    EXPECT_FALSE(fsutil::exists(root));
}

TEST_F(DirectoryExports, RenameDirectory) {
    TempTree here, there(L"tree", fsutil::secondVolume());
    const std::wstring from = here / L"src", same = here / L"same", other = there / L"other";
    ASSERT_TRUE(CreateDirectoryW(from.c_str(), nullptr));
    fsutil::fillTree(from);
    const std::string listing = fsutil::checksumListing(from);
    const ULONGLONG index = fileIndex(from);

    EXPECT_EQ(renameDirectory(cstr(from, 0).c_str(), cstr(same, 0).c_str()), 0);
    EXPECT_EQ(slot(), L"");
    EXPECT_EQ(fileIndex(same), index);
    EXPECT_EQ(renameDirectory(cstr(same, 0).c_str(), cstr(other, 0).c_str()), 0);
    EXPECT_FALSE(fsutil::exists(same));
    EXPECT_EQ(fsutil::checksumListing(other), listing);

    // A missing source: its security cannot be read.
    EXPECT_EQ(renameDirectory(cstr(from, 0).c_str(), cstr(same, 0).c_str()), 1);
    EXPECT_EQ(slot(), osText(2, L"GetNamedSecurityInfo(" + from + L")"));
    EXPECT_FALSE(fsutil::exists(same));
}
