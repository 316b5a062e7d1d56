// Path names, files, directories and enumeration against the real file
// system, each test in a temporary tree; the product root from the stand-in
// management service; the directory-creation exports.
#include <gtest/gtest.h>
#include <windows.h>

#include "childprocess.h"
#include "exports/hvcdmtutils.h"
#include "fs/file.h"
#include "fs/filename.h"
#include "fsutil.h"
#include "runtime/text.h"
#include "standin.h"

using fsutil::failureOf;
using fsutil::osText;
using fsutil::TempTree;

TEST(VFileName, TrimCombineNormalize) {
    using VFileName::combine;
    auto one = [](std::wstring (*f)(const std::wstring&)) {
        return [f](const std::wstring& a, const std::wstring&) { return f(a); };
    };
    const std::function<std::wstring(const std::wstring&, const std::wstring&)> ops[] = {
        combine, one(VFileName::trimTrailingSeparators), one(VFileName::stripTrailingBackslash),
        one(VFileName::normalize)};
    struct {
        int op;  // index into ops
        std::wstring a, b, expected;
    } cases[] = {
        {0, L"C:\\dir\\\\", L"\\\\file", L"C:\\dir\\file"},
        {0, L"C:\\dir", L"..\\x", L"C:\\x"},
        {0, L"C:\\a/", L"\\sub", L"C:\\a\\sub"},
        {0, L"C:\\a", L"C:\\x", L"C:\\x"},
        {1, L"C:\\a\\/\\", L"", L"C:\\a"},
        {1, L"\\/\\", L"", L""},
        {2, L"C:\\a\\.", L"", L"C:\\a"},
        {2, L"C:\\a\\", L"", L"C:\\a"},
        {2, L"C:\\a\\\\", L"", L"C:\\a\\"},  // one character only
        {2, L".", L"", L"."},
        {3, L"..\\a\\..\\..\\b", L"", L"..\\..\\b"},
        {3, L"\\", L"", L"\\"},
        {3, L"C:/a/./b/../c/", L"", L"C:\\a\\c\\"},
        {3, L"\\\\?\\C:\\x\\..\\y", L"", L"\\\\?\\C:\\y"},
        {3, L"\\\\.\\pipe\\a\\.\\b", L"", L"\\\\.\\pipe\\a\\b"},
        {3, L"\\\\server\\share\\x", L"", L"\\server\\share\\x"},
        {3, L"a\\\\b\\.\\..\\c", L"", L"a\\c"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ops[c.op](c.a, c.b), c.expected) << c.op << ": " << testutil::narrow(c.a);
}

TEST(VFileName, CombineAndRootFailures) {
    const std::wstring name(255, L'n');
    EXPECT_EQ(VFileName::combine(L"C:\\d", name.substr(1)).size(), 259u);  // still fits
    fsutil::Failure failure = failureOf([&] { VFileName::combine(L"C:\\d\\", L"\\" + name); });
    EXPECT_EQ(failure.message, L"PathCombine failed for dir C:\\d\\ and fileName \\" + name);
    EXPECT_EQ(failure.function() + ":" + std::to_string(failure.line()), "VFileName::combine:105");
    for (const wchar_t* path : {L"", L"relative\\path"}) {
        failure = failureOf([&] { VFileName::root(path); });
        EXPECT_EQ(failure.message, std::wstring(L"PathStripToRoot failed for fileName=") + path);
        EXPECT_EQ(failure.function() + ":" + std::to_string(failure.line()), "VFileName::root:42");
    }
}

// Runs in a process of its own (ProductDirs.AskedOncePerProcess): the cache
// must still be empty.
TEST(ProductDirsChild, DISABLED_RootAskedOnce) {
    standin::Server server({standin::servicePipe, "param PRODUCT_ROOT_D=C:/Orvex/./x/../Panel//\n", L"", true, true});
    ASSERT_TRUE(server.running());
    EXPECT_EQ(productRootDir(), L"C:\\Orvex\\Panel");
    EXPECT_EQ(productAdminDir(), L"C:\\Orvex\\Panel\\admin");
    EXPECT_EQ(server.messages().size(), 2u);  // one request: its length, then its body
    server.stop();
    EXPECT_EQ(productRootDir(), L"C:\\Orvex\\Panel");
}

TEST(ProductDirs, AskedOncePerProcess) {
    UniqueHandle output(childprocess::inheritable(GetStdHandle(STD_OUTPUT_HANDLE)));
    DWORD code = childprocess::finish(childprocess::start(
        {L"--gtest_also_run_disabled_tests", L"--gtest_filter=ProductDirsChild.DISABLED_RootAskedOnce"}, output.get(),
        L"hvctests.exe"));
    EXPECT_EQ(code, 0u) << "the child's test failed; its output is above";
}

TEST(Files, ExistenceErrorsAndOpen) {
    TempTree tree;
    const std::wstring file = tree / L"file.txt", missing = tree / L"missing";
    ASSERT_TRUE(fsutil::writeFile(file, "first"));
    struct {
        std::wstring path;
        bool exists, isDirectory;
    } cases[] = {{file, true, false}, {tree.path() + L"\\", true, true}, {missing, false, false},
                 {missing + L"\\deeper\\x", false, false}, {L"", false, false}};
    for (const auto& c : cases) {
        bool notDirectory = false;
        EXPECT_EQ(VFile::exists(c.path, &notDirectory), c.exists) << testutil::narrow(c.path);
        EXPECT_EQ(notDirectory, !c.isDirectory) << testutil::narrow(c.path);
    }
    // Any failure but "not found" raises: an invalid name here.
    const std::wstring invalid = tree / L"bad|name";
    ASSERT_EQ(GetFileAttributesW(invalid.c_str()), INVALID_FILE_ATTRIBUTES);
    const DWORD error = GetLastError();
    ASSERT_TRUE(error != 2 && error != 3) << error;
    fsutil::Failure failure = failureOf([&] { fileExist(invalid.c_str()); });
    EXPECT_EQ(failure.message, osText(error, L"retrieves attributes for file or directory " + invalid));
    EXPECT_EQ(failure.line(), 109u);
    // The security reader reports the function's own result, not the last error.
    failure = failureOf([&] { UniqueLocalPtr<void> descriptor; getFileSecurityInfo(missing, 4, descriptor); });
    EXPECT_EQ(failure.message, osText(2, L"GetNamedSecurityInfo(" + missing + L")"));
    EXPECT_EQ(failure.line(), 476u);
    // renameFile never replaces.
    ASSERT_TRUE(fsutil::writeFile(tree / L"other", "other"));
    failure = failureOf([&] { renameFile(file, tree / L"other"); });
    EXPECT_EQ(failure.message, osText(failure.code, L"rename file " + file + L" to " + (tree / L"other")));
    EXPECT_EQ(fsutil::readFile(tree / L"other"), "other");

    // A failed open keeps the file that was open.
    VFile opened;
    opened.open(file, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    const HANDLE held = opened.handle();
    failure = failureOf([&] { opened.open(missing, GENERIC_READ, 0, OPEN_EXISTING, 0); });
    EXPECT_EQ(failure.message, osText(2, L"Open file '" + missing + L"'"));
    EXPECT_EQ(failure.function() + ":" + std::to_string(failure.line()), "VFile::open:87");
    EXPECT_EQ(opened.handle(), held);
    EXPECT_EQ(opened.path(), file);
}

TEST(Directories, CreateWithParents) {
    TempTree tree;
    ASSERT_TRUE(fsutil::writeFile(tree / L"file", "x"));
    for (const std::wstring& path : {tree.path(), tree / L"a\\b\\c", tree / L"d\\e\\\\/\\", tree / L"file\\\\"})
        EXPECT_NO_THROW(VDirectory::createDirectory(path, nullptr)) << testutil::narrow(path);
    EXPECT_TRUE(fsutil::isDirectory(tree / L"a\\b\\c") && fsutil::isDirectory(tree / L"d\\e"));
    EXPECT_FALSE(fsutil::isDirectory(tree / L"file"));  // an existing file counts as done

    // Empty, only separators, relative with a missing first component.
    for (const std::wstring& path : {std::wstring(), std::wstring(L"\\/"), fsutil::uniqueName(L"rel") + L"\\x"}) {
        fsutil::Failure failure = failureOf([&] { VDirectory::createDirectory(path, nullptr); });
        EXPECT_EQ(failure.message, L"Unable to create directory with wrong name") << testutil::narrow(path);
        EXPECT_EQ(failure.function() + ":" + std::to_string(failure.line()), "VDirectory::createDirectory:32");
    }
    const std::wstring previous = VDirectory::current();
    ASSERT_TRUE(SetCurrentDirectoryW(tree.path().c_str()));
    EXPECT_NO_THROW(VDirectory::createDirectory(L"a\\rel", nullptr));
    SetCurrentDirectoryW(previous.c_str());
    EXPECT_TRUE(fsutil::isDirectory(tree / L"a\\rel"));

    // A drive that does not exist fails where its root would be made.
    std::wstring drive = L"?:";
    for (wchar_t letter = L'Y'; letter > L'D' && drive[0] == L'?'; --letter)
        if (!(GetLogicalDrives() & (1u << (letter - L'A')))) drive[0] = letter;
    fsutil::Failure failure = failureOf([&] { VDirectory::createDirectory(drive + L"\\x\\y", nullptr); });
    EXPECT_EQ(failure.message, osText(failure.code, L"CreateDirectory(" + drive + L")"));
    EXPECT_NE(failure.code, 0u);

    failure = failureOf([&] { makeDir(tree / L"a", nullptr); });
    EXPECT_EQ(failure.message, osText(183, L"CreateDirectory(" + (tree / L"a") + L")"));
    EXPECT_EQ(failure.line(), 59u);
}

TEST(Directories, FinderEnumeration) {
    TempTree tree;
    ASSERT_TRUE(fsutil::writeFile(tree / L"..a", "x"));
    ASSERT_TRUE(CreateDirectoryW((tree / L"sub").c_str(), nullptr));
    VFileFinder finder;
    EXPECT_TRUE(finder.isDots());  // a fresh finder's name is empty
    std::vector<std::wstring> seen;
    for (bool found = finder.first(tree / L"*.*"); found; found = finder.next()) {
        const std::wstring name = finder.name();
        seen.push_back(name);
        EXPECT_EQ(finder.isDots(), name == L"." || name == L"..") << testutil::narrow(name);
        EXPECT_EQ(finder.isDirectory(), name != L"..a") << testutil::narrow(name);
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::wstring>{L".", L"..", L"..a", L"sub"}));
    EXPECT_FALSE(finder.next());  // after the last entry: still false, record zeroed
    EXPECT_TRUE(finder.name().empty() && finder.attributes() == 0);

    EXPECT_FALSE(finder.first(tree / L"*.nothing"));
    EXPECT_FALSE(finder.first(tree / L"missing\\*.*"));
    const std::wstring invalid = tree / L"a|b\\*";
    fsutil::Failure failure = failureOf([&] { finder.first(invalid); });
    EXPECT_EQ(failure.message, osText(failure.code, L"FindFirstFile(" + invalid + L")"));
    EXPECT_EQ(failure.line(), 219u);
}

// HVC_createDirectory and HVC_createNestedDirectory as a caller binds them.
TEST(CreateExports, ExistingNestedAndWrongNames) {
    HMODULE dll = LoadLibraryW(L"hvcdmtutils.dll");
    ASSERT_NE(dll, nullptr);
    auto bind = [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(dll, name)); };
    auto lastError = reinterpret_cast<HVC_GetLastHvcDmtError_t>(bind(HVC_NAME_GetLastHvcDmtError));
    auto slot = [&] { return std::string(lastError() ? lastError() : ""); };
    for (const char* name : {HVC_NAME_createDirectory, HVC_NAME_createNestedDirectory}) {
        auto create = reinterpret_cast<HVC_createDirectory_t>(bind(name));
        ASSERT_NE(create, nullptr) << name;
        // x\y\z where only the drive root exists.
        TempTree top(fsutil::secondVolume());
        ASSERT_TRUE(RemoveDirectoryW(top.path().c_str()));
        const std::string nested = cstr(top / L"y\\z", 0);
        EXPECT_EQ(create(nested.c_str()), 0) << name << ": " << slot();
        EXPECT_TRUE(fsutil::isDirectory(top / L"y\\z"));
        EXPECT_EQ(create(nested.c_str()), 0) << name;  // existing
        EXPECT_EQ(slot(), "");
        for (const char* wrong : {"", "no-such-first-component\\x"}) {
            EXPECT_EQ(create(wrong), 1) << name;
            EXPECT_EQ(slot(), "Unable to create directory with wrong name");
        }
    }
}
