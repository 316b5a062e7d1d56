// Path names, files, directories and enumeration on the real file system; the cached product root.
#include <gtest/gtest.h>
#include <windows.h>

#include "childprocess.h"
#include "fs/file.h"
#include "fs/filename.h"
#include "fsutil.h"
#include "standin.h"

using fsutil::failureOf;
using fsutil::osText;
using fsutil::TempTree;

TEST(VFileName, TrimCombineNormalize) {
    using F = std::wstring (*)(const std::wstring&);
    auto combineName = [](const std::wstring& a) {
        return VFileName::combine(a.substr(0, a.find(L'|')), a.substr(a.find(L'|') + 1));
    };
    const F ops[] = {combineName, VFileName::trimTrailingSeparators, VFileName::stripTrailingBackslash,
                     VFileName::normalize};
    const struct {
        int op;  // index into ops; combine takes "dir|name"
        std::wstring in, expected;
    } cases[] = {
        {0, L"C:\\dir\\\\|\\\\file", L"C:\\dir\\file"}, {0, L"C:\\dir|..\\x", L"C:\\x"},
        {0, L"C:\\a/|\\sub", L"C:\\a\\sub"},         {0, L"C:\\a|C:\\x", L"C:\\x"},
        {1, L"C:\\a\\/\\", L"C:\\a"},                 {1, L"\\/\\", L""},
        {2, L"C:\\a\\.", L"C:\\a"},                   {2, L"C:\\a\\\\", L"C:\\a\\"},  // one character only
        {2, L".", L"."},                              {3, L"..\\a\\..\\..\\b", L"..\\..\\b"},
        {3, L"\\", L"\\"},                            {3, L"C:/a/./b/../c/", L"C:\\a\\c\\"},
        {3, L"\\\\?\\C:\\x\\..\\y", L"\\\\?\\C:\\y"}, {3, L"\\\\.\\pipe\\a\\.\\b", L"\\\\.\\pipe\\a\\b"},
        {3, L"\\\\server\\share\\x", L"\\server\\share\\x"},
    };
    for (const auto& c : cases) EXPECT_EQ(ops[c.op](c.in), c.expected) << c.op << ": " << testutil::narrow(c.in);
}

TEST(VFileName, CombineAndRootFailures) {
    const std::wstring name(255, L'n');
    EXPECT_EQ(VFileName::combine(L"C:\\d", name.substr(1)).size(), 259u);  // still fits
    fsutil::Failure failure = failureOf([&] { VFileName::combine(L"C:\\d\\", L"\\" + name); });
    EXPECT_EQ(failure.message, L"PathCombine failed for dir C:\\d\\ and fileName \\" + name);
    EXPECT_EQ(failure.where(), "VFileName::combine:105");
    failure = failureOf([&] { VFileName::root(L"relative\\path"); });
    EXPECT_EQ(failure.message, L"PathStripToRoot failed for fileName=relative\\path");
    EXPECT_EQ(failure.where(), "VFileName::root:42");
}

// Run by ProductDirs.AskedOncePerProcess in a fresh process: the cache starts empty.
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
    const std::wstring file = tree / L"file.txt", missing = tree / L"missing", invalid = tree / L"bad|name";
    ASSERT_TRUE(fsutil::writeFile(file, "first") && fsutil::writeFile(tree / L"other", "other"));
    const std::pair<std::wstring, int> cases[] = {  // 0 missing, 1 file, 2 directory
        {file, 1}, {tree.path() + L"\\", 2}, {missing, 0}, {missing + L"\\deeper\\x", 0}, {L"", 0}};
    for (const auto& c : cases) {
        bool notDirectory = false;
        EXPECT_EQ(VFile::exists(c.first, &notDirectory), c.second != 0) << testutil::narrow(c.first);
        EXPECT_EQ(notDirectory, c.second != 2) << testutil::narrow(c.first);
    }
    // Any failure but "not found" raises: an invalid name here.
    ASSERT_EQ(GetFileAttributesW(invalid.c_str()), INVALID_FILE_ATTRIBUTES);
    const DWORD error = GetLastError();
    ASSERT_TRUE(error != 2 && error != 3) << error;
    fsutil::Failure failure = failureOf([&] { fileExist(invalid.c_str()); });
    EXPECT_EQ(failure.message, osText(error, L"retrieves attributes for file or directory " + invalid));
    EXPECT_EQ(failure.where(), "fileExist:109");
    // The function's own result is the code, not the last error.
    failure = failureOf([&] { UniqueLocalPtr<void> descriptor; getFileSecurityInfo(missing, 4, descriptor); });
    EXPECT_EQ(failure.message, osText(2, L"GetNamedSecurityInfo(" + missing + L")"));
    EXPECT_EQ(failure.where(), "getFileSecurityInfo:476");
    failure = failureOf([&] { renameFile(file, tree / L"other"); });  // never replaces
    EXPECT_EQ(failure.message, osText(failure.code, L"rename file " + file + L" to " + (tree / L"other")));
    EXPECT_EQ(fsutil::readFile(tree / L"other"), "other");

    VFile opened;  // a failed open keeps the file that was open
    opened.open(file, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    const HANDLE held = opened.handle();
    failure = failureOf([&] { opened.open(missing, GENERIC_READ, 0, OPEN_EXISTING, 0); });
    EXPECT_EQ(failure.message, osText(2, L"Open file '" + missing + L"'"));
    EXPECT_EQ(failure.where(), "VFile::open:87");
    EXPECT_TRUE(opened.handle() == held && opened.path() == file);
}

TEST(Directories, CreateWithParents) {
    TempTree tree;
    ASSERT_TRUE(fsutil::writeFile(tree / L"file", "x"));
    // Existing, nested, trailing separators, an existing file (counts as done).
    for (const std::wstring& path : {tree.path(), tree / L"a\\b\\c", tree / L"d\\e\\\\/\\", tree / L"file\\\\"})
        EXPECT_NO_THROW(VDirectory::createDirectory(path, nullptr)) << testutil::narrow(path);
    EXPECT_TRUE(fsutil::isDirectory(tree / L"a\\b\\c") && fsutil::isDirectory(tree / L"d\\e"));
    EXPECT_FALSE(fsutil::isDirectory(tree / L"file"));

    for (const std::wstring& path : {std::wstring(), std::wstring(L"\\/"), fsutil::uniqueName(L"rel") + L"\\x"}) {
        fsutil::Failure failure = failureOf([&] { VDirectory::createDirectory(path, nullptr); });
        EXPECT_EQ(failure.message, L"Unable to create directory with wrong name") << testutil::narrow(path);
        EXPECT_EQ(failure.where(), "VDirectory::createDirectory:32");
    }
    // A missing drive fails where its root would be made, not by endless recursion.
    std::wstring drive = L"?:";
    for (wchar_t letter = L'Y'; letter > L'D' && drive[0] == L'?'; --letter)
        if (!(GetLogicalDrives() & (1u << (letter - L'A')))) drive[0] = letter;
    fsutil::Failure failure = failureOf([&] { VDirectory::createDirectory(drive + L"\\x\\y", nullptr); });
    EXPECT_EQ(failure.message, osText(failure.code, L"CreateDirectory(" + drive + L")"));
    failure = failureOf([&] { makeDir(tree / L"a", nullptr); });
    EXPECT_EQ(failure.message, osText(183, L"CreateDirectory(" + (tree / L"a") + L")"));
    EXPECT_EQ(failure.where(), "makeDir:59");
}

TEST(Directories, FinderEnumeration) {
    TempTree tree;
    ASSERT_TRUE(fsutil::writeFile(tree / L"..a", "x") && CreateDirectoryW((tree / L"sub").c_str(), nullptr));
    VFileFinder finder;
    std::vector<std::wstring> seen;  // name, "/" for a directory, "*" for dots
    for (bool found = finder.first(tree / L"*.*"); found; found = finder.next())
        seen.push_back(finder.name() + (finder.isDirectory() ? L"/" : L"") + (finder.isDots() ? L"*" : L""));
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::wstring>{L"../*", L"..a", L"./*", L"sub/"}));  // "..a" is no dots entry
    EXPECT_FALSE(finder.next());  // after the last entry: record zeroed
    EXPECT_TRUE(finder.name().empty() && finder.attributes() == 0);

    EXPECT_FALSE(finder.first(tree / L"*.nothing") || finder.first(tree / L"missing\\*.*"));
    const std::wstring invalid = tree / L"a|b\\*";
    fsutil::Failure failure = failureOf([&] { finder.first(invalid); });
    EXPECT_EQ(failure.message, osText(failure.code, L"FindFirstFile(" + invalid + L")"));
    EXPECT_EQ(failure.where(), "VFileFinder::first:219");
}
