// Path names, files, directories and enumeration against the real file
// system, each test in a temporary tree of its own; the product root from
// the stand-in management service; the directory-creation exports.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>

#include "childprocess.h"
#include "exports/hvcdmtutils.h"
#include "fs/file.h"
#include "runtime/exceptions.h"
#include "fs/filename.h"
#include "fsutil.h"
#include "runtime/text.h"
#include "standin.h"
#include "testutil.h"

namespace {

using fsutil::TempTree;

// What f throws: its message, code (0 for none) and locations.
struct Failure {
    std::wstring message;
    DWORD code = 0;
    std::string function;
    unsigned line = 0;
};
Failure failureOf(const std::function<void()>& f) {
    Failure failure;
    failure.message = L"(nothing thrown)";
    try {
        f();
    } catch (const vosexception& e) {
        failure = {e.message(), e.errorCode(), e.locations().front().function, e.locations().front().line};
    } catch (const vexception& e) {
        failure = {e.message(), 0, e.locations().empty() ? "" : e.locations().front().function,
                   e.locations().empty() ? 0u : e.locations().front().line};
    }
    return failure;
}

std::wstring osText(DWORD code, const std::wstring& where) {
    return testutil::systemText(code) + L" (Error code " + std::to_wstring(code) + L") at " + where;
}

}  // namespace

TEST(VFileName, PureOperations) {
    using Op = std::function<std::wstring(const std::wstring&, const std::wstring&)>;
    const Op combine = VFileName::combine;
    const Op trailing = [](const std::wstring& p, const std::wstring&) { return VFileName::trimTrailingSeparators(p); };
    const Op leading = [](const std::wstring& p, const std::wstring&) { return VFileName::trimLeadingSeparators(p); };
    const Op strip = [](const std::wstring& p, const std::wstring&) { return VFileName::stripTrailingBackslash(p); };
    const Op longPath = [](const std::wstring& p, const std::wstring&) { return VFileName::stripLongPathPrefix(p); };
    const Op normalize = [](const std::wstring& p, const std::wstring&) { return VFileName::normalize(p); };
    const Op root = [](const std::wstring& p, const std::wstring&) { return VFileName::root(p); };
    const Op parent = [](const std::wstring& p, const std::wstring&) { return VFileName::parent(p); };
    const Op name = [](const std::wstring& p, const std::wstring&) { return VFileName::fileName(p); };
    const Op extension = [](const std::wstring& p, const std::wstring&) { return VFileName::extension(p); };
    const Op noExtension = [](const std::wstring& p, const std::wstring&) { return VFileName::removeExtension(p); };
    const Op prefix = [](const std::wstring& a, const std::wstring& b) {
        return std::wstring(VFileName::isPrefix(a, b) ? L"yes" : L"no");
    };
    struct Case {
        const char* what;
        const Op& op;
        std::wstring a, b, expected;
    } cases[] = {
        {"combine", combine, L"C:\\dir\\\\", L"\\\\file", L"C:\\dir\\file"},
        {"combine", combine, L"C:\\dir", L"..\\x", L"C:\\x"},
        {"combine", combine, L"C:\\a", L"\\sub", L"C:\\a\\sub"},
        {"combine", combine, L"C:\\a/", L"b/./c", L"C:\\a\\b/./c"},
        {"combine", combine, L"C:\\a", L"C:\\x", L"C:\\x"},
        {"combine", combine, L"", L"x", L"x"},
        {"trimTrailingSeparators", trailing, L"C:\\a\\/\\", L"", L"C:\\a"},
        {"trimTrailingSeparators", trailing, L"\\/\\", L"", L""},
        {"trimTrailingSeparators", trailing, L"a\\b", L"", L"a\\b"},
        {"trimLeadingSeparators", leading, L"/\\a\\", L"", L"a\\"},
        {"trimLeadingSeparators", leading, L"//", L"", L""},
        {"stripTrailingBackslash", strip, L"C:\\a\\.", L"", L"C:\\a"},
        {"stripTrailingBackslash", strip, L"C:\\a\\", L"", L"C:\\a"},
        {"stripTrailingBackslash", strip, L"C:\\a\\\\", L"", L"C:\\a\\"},
        {"stripTrailingBackslash", strip, L".", L"", L"."},
        {"stripTrailingBackslash", strip, L"\\", L"", L""},
        {"stripLongPathPrefix", longPath, L"\\\\?\\C:\\x", L"", L"C:\\x"},
        {"stripLongPathPrefix", longPath, L"C:\\\\?\\x", L"", L"C:\\\\?\\x"},
        {"normalize", normalize, L"..\\a\\..\\..\\b", L"", L"..\\..\\b"},
        {"normalize", normalize, L"\\", L"", L"\\"},
        {"normalize", normalize, L"C:/a/./b/../c/", L"", L"C:\\a\\c\\"},
        {"normalize", normalize, L"\\\\?\\C:\\x\\..\\y", L"", L"\\\\?\\C:\\y"},
        {"normalize", normalize, L"\\\\.\\pipe\\a\\.\\b", L"", L"\\\\.\\pipe\\a\\b"},
        {"normalize", normalize, L"\\\\server\\share\\x", L"", L"\\server\\share\\x"},
        {"normalize", normalize, L"a\\\\b\\.\\.\\c", L"", L"a\\b\\c"},
        {"normalize", normalize, L"", L"", L""},
        {"root", root, L"C:\\a\\b", L"", L"C:\\"},
        {"root", root, L"\\\\srv\\share\\x", L"", L"\\\\srv\\share"},
        {"parent", parent, L"C:\\a\\b.txt", L"", L"C:\\a"},
        {"parent", parent, L"C:\\a", L"", L"C:\\"},
        {"parent", parent, L"a", L"", L""},
        {"fileName", name, L"C:\\a\\b.tar.gz", L"", L"b.tar.gz"},
        {"extension", extension, L"C:\\a.d\\b.tar.gz", L"", L".gz"},
        {"extension", extension, L"C:\\a.d\\b", L"", L""},
        {"removeExtension", noExtension, L"C:\\a.d\\b.txt", L"", L"C:\\a.d\\b"},
        {"isPrefix", prefix, L"C:\\a", L"C:\\a\\b", L"yes"},
        {"isPrefix", prefix, L"C:\\a", L"C:\\ab", L"no"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.op(c.a, c.b), c.expected) << c.what << "('" << testutil::narrow(c.a) << "', '"
                                              << testutil::narrow(c.b) << "')";
}

TEST(VFileName, CombineAndRootFailures) {
    const std::wstring dir = L"C:\\dir\\", name(260, L'n');
    Failure combine = failureOf([&] { VFileName::combine(dir, L"\\" + name); });
    EXPECT_EQ(combine.message, L"PathCombine failed for dir C:\\dir\\ and fileName \\" + name);
    EXPECT_EQ(combine.function, "VFileName::combine");
    EXPECT_EQ(combine.line, 105u);
    // 259 characters still fit.
    EXPECT_EQ(VFileName::combine(L"C:\\d", std::wstring(254, L'n')).size(), 259u);
    EXPECT_EQ(failureOf([&] { VFileName::combine(L"C:\\d", std::wstring(255, L'n')); }).line, 105u);

    for (const wchar_t* path : {L"", L"relative\\path"}) {
        Failure root = failureOf([&] { VFileName::root(path); });
        EXPECT_EQ(root.message, std::wstring(L"PathStripToRoot failed for fileName=") + path);
        EXPECT_EQ(root.function, "VFileName::root");
        EXPECT_EQ(root.line, 42u);
    }
}

// Runs in a process of its own (see ProductDirs.AskedOncePerProcess): the
// cache must still be empty.
TEST(ProductDirsChild, DISABLED_RootAskedOnce) {
    standin::Server server({standin::servicePipe,
                            "param PRODUCT_ROOT_D=C:/Orvex/./x/../Panel//\nparam OTHER_D=\\\\?\\D:\\a\\..\\b\\\n", L"",
                            true, true});
    ASSERT_TRUE(server.running());
    EXPECT_EQ(productRootDir(), L"C:\\Orvex\\Panel");
    EXPECT_EQ(productRootDir(), L"C:\\Orvex\\Panel");
    EXPECT_EQ(productAdminDir(), L"C:\\Orvex\\Panel\\admin");
    EXPECT_EQ(server.messages().size(), 2u);  // one request: its length, then its body
    EXPECT_EQ(productDir(L"OTHER_D"), L"\\\\?\\D:\\b");
    EXPECT_EQ(server.messages().size(), 4u);
    // Gone service, same answer.
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

TEST(Files, ExistenceAndAttributes) {
    TempTree tree;
    ASSERT_TRUE(fsutil::writeFile(tree / L"file.txt", "x"));
    struct Case {
        std::wstring path;
        bool exists, isDirectory;
    } cases[] = {
        {tree / L"file.txt", true, false},
        {tree.path(), true, true},
        {tree.path() + L"\\", true, true},
        {tree / L"missing", false, false},
        {tree / L"missing\\deeper\\file", false, false},
    };
    for (const Case& c : cases) {
        bool isDirectory = !c.isDirectory;
        EXPECT_EQ(fileExist(c.path.c_str(), &isDirectory), c.exists) << testutil::narrow(c.path);
        if (c.exists) {
            EXPECT_EQ(isDirectory, c.isDirectory) << testutil::narrow(c.path);
        }
        bool notDirectory = false;
        EXPECT_EQ(VFile::exists(c.path, &notDirectory), c.exists);
        EXPECT_EQ(notDirectory, !c.isDirectory) << testutil::narrow(c.path);
    }
    bool notDirectory = false;
    EXPECT_FALSE(VFile::exists(L"", &notDirectory));
    EXPECT_TRUE(notDirectory);

    // Any other failure than "not found" raises (an invalid name here).
    const std::wstring invalid = tree / L"bad|name";
    DWORD error = GetFileAttributesW(invalid.c_str()) == INVALID_FILE_ATTRIBUTES ? GetLastError() : 0;
    ASSERT_NE(error, 0u);
    ASSERT_NE(error, 2u);
    ASSERT_NE(error, 3u);
    Failure failure = failureOf([&] { fileExist(invalid.c_str()); });
    EXPECT_EQ(failure.message, osText(error, L"retrieves attributes for file or directory " + invalid));
    EXPECT_EQ(failure.function, "fileExist");
    EXPECT_EQ(failure.line, 109u);

    setFileAttributes(tree / L"file.txt", FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(getFileAttributes(tree / L"file.txt") & FILE_ATTRIBUTE_READONLY, DWORD(FILE_ATTRIBUTE_READONLY));
    setFileAttributes(tree / L"file.txt", FILE_ATTRIBUTE_NORMAL);

    const std::wstring missing = tree / L"missing";
    struct Error {
        std::function<void()> call;
        std::wstring where;
        const char* function;
        unsigned line;
        DWORD code;
    } errors[] = {
        {[&] { getFileAttributes(missing); }, L"GetFileAttributes(" + missing + L")", "getFileAttributes", 71, 2},
        {[&] { setFileAttributes(missing, 0); }, L"SetFileAttributes(" + missing + L")", "setFileAttributes", 78, 2},
        {[&] { UniqueLocalPtr<void> d; getFileSecurityInfo(missing, DACL_SECURITY_INFORMATION, d); },
         L"GetNamedSecurityInfo(" + missing + L")", "getFileSecurityInfo", 476, 2},
        {[&] { setFileAccess(missing, nullptr); }, L"SetFileSecurity(" + missing + L")", "setFileAccess", 489, 2},
        {[&] { makeDir(tree.path(), nullptr); }, L"CreateDirectory(" + tree.path() + L")", "makeDir", 59, 183},
        {[&] { makeDir(tree / L"file.txt\\sub", nullptr); }, L"CreateDirectory(" + tree / L"file.txt\\sub" + L")",
         "makeDir", 59, 3},
    };
    for (const Error& e : errors) {
        Failure f = failureOf(e.call);
        EXPECT_EQ(f.message, osText(e.code, e.where)) << e.function;
        EXPECT_EQ(f.code, e.code) << e.function;
        EXPECT_EQ(f.function, e.function);
        EXPECT_EQ(f.line, e.line) << e.function;
    }
}

TEST(Files, RenameMoveAndOpen) {
    TempTree tree;
    ASSERT_TRUE(fsutil::writeFile(tree / L"a", "first"));
    ASSERT_TRUE(fsutil::writeFile(tree / L"b", "second"));
    // renameFile never replaces; moveEx does when asked.
    Failure failure = failureOf([&] { renameFile(tree / L"a", tree / L"b"); });
    EXPECT_EQ(failure.function, "renameFile");
    EXPECT_EQ(failure.line, 149u);
    EXPECT_EQ(failure.message, osText(failure.code, L"rename file " + (tree / L"a") + L" to " + (tree / L"b")));
    EXPECT_TRUE(failure.code == ERROR_ALREADY_EXISTS || failure.code == ERROR_FILE_EXISTS) << failure.code;
    failure = failureOf([&] { VFile::moveEx(tree / L"a", tree / L"b", 0); });
    EXPECT_EQ(failure.message, osText(failure.code, L"Move file '" + (tree / L"a") + L"' to '" + (tree / L"b") + L"'"));
    EXPECT_EQ(failure.function, "VFile::moveEx");
    EXPECT_EQ(failure.line, 160u);
    VFile::moveEx(tree / L"a", tree / L"b", MOVEFILE_REPLACE_EXISTING);
    EXPECT_EQ(fsutil::readFile(tree / L"b"), "first");
    renameFile(tree / L"b", tree / L"c");
    EXPECT_EQ(fsutil::names(tree.path()), std::vector<std::wstring>{L"c"});

    // A failed open keeps the file that was open.
    VFile file;
    file.open(tree / L"c", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    HANDLE held = file.handle();
    failure = failureOf([&] { file.open(tree / L"missing", GENERIC_READ, 0, OPEN_EXISTING, 0); });
    EXPECT_EQ(failure.message, osText(2, L"Open file '" + (tree / L"missing") + L"'"));
    EXPECT_EQ(failure.function, "VFile::open");
    EXPECT_EQ(failure.line, 87u);
    EXPECT_EQ(file.handle(), held);
    EXPECT_EQ(file.path(), tree / L"c");
    char byte = 0;
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(file.handle(), &byte, 1, &read, nullptr) && byte == 'f');
}

TEST(Directories, CreateWithParents) {
    TempTree tree;
    ASSERT_TRUE(fsutil::writeFile(tree / L"file", "x"));
    struct Case {
        std::wstring path;
        std::wstring created;  // empty: nothing new
    } cases[] = {
        {tree.path(), L""},
        {tree / L"a\\b\\c", tree / L"a\\b\\c"},
        {tree / L"d\\e\\\\/\\", tree / L"d\\e"},
        {tree / L"file", L""},  // an existing file counts as done
        {tree / L"file\\\\", L""},
    };
    for (const Case& c : cases) {
        EXPECT_NO_THROW(VDirectory::createDirectory(c.path, nullptr)) << testutil::narrow(c.path);
        if (!c.created.empty()) {
            EXPECT_TRUE(fsutil::isDirectory(c.created)) << testutil::narrow(c.created);
        }
    }
    EXPECT_FALSE(fsutil::isDirectory(tree / L"file"));

    // An empty path, one of separators only, and a relative path whose first
    // component is missing all end at an empty name.
    for (const std::wstring& path : {std::wstring(), std::wstring(L"\\/\\"), fsutil::uniqueName(L"rel") + L"\\x"}) {
        Failure failure = failureOf([&] { VDirectory::createDirectory(path, nullptr); });
        EXPECT_EQ(failure.message, L"Unable to create directory with wrong name") << testutil::narrow(path);
        EXPECT_EQ(failure.function, "VDirectory::createDirectory");
        EXPECT_EQ(failure.line, 32u);
    }
    // A relative path under an existing first component.
    const std::wstring previous = VDirectory::current();
    ASSERT_TRUE(SetCurrentDirectoryW(tree.path().c_str()));
    EXPECT_EQ(VDirectory::current(), tree.path());
    EXPECT_NO_THROW(VDirectory::createDirectory(L"a\\rel\\sub", nullptr));
    SetCurrentDirectoryW(previous.c_str());
    EXPECT_TRUE(fsutil::isDirectory(tree / L"a\\rel\\sub"));

    // A parent that is a file: the child cannot be made.
    Failure failure = failureOf([&] { VDirectory::createDirectory(tree / L"file\\sub", nullptr); });
    EXPECT_EQ(failure.function, "makeDir");
    EXPECT_EQ(failure.message, osText(failure.code, L"CreateDirectory(" + (tree / L"file\\sub") + L")"));
}

TEST(Directories, FinderEnumeration) {
    TempTree tree;
    ASSERT_TRUE(fsutil::writeFile(tree / L"..a", "x"));
    ASSERT_TRUE(fsutil::writeFile(tree / L"b", "y"));
    ASSERT_TRUE(CreateDirectoryW((tree / L"sub").c_str(), nullptr));

    VFileFinder finder;
    EXPECT_TRUE(finder.isDots());  // a fresh finder's name is empty
    std::vector<std::wstring> seen;
    std::vector<bool> dots, directories;
    for (bool found = finder.first(tree / L"*.*"); found; found = finder.next()) {
        seen.push_back(finder.name());
        dots.push_back(finder.isDots());
        directories.push_back(finder.isDirectory());
    }
    std::vector<std::wstring> sorted = seen;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<std::wstring>{L".", L"..", L"..a", L"b", L"sub"}));
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(dots[i], seen[i] == L"." || seen[i] == L"..") << testutil::narrow(seen[i]);
        EXPECT_EQ(directories[i], seen[i] == L"." || seen[i] == L".." || seen[i] == L"sub");
    }
    // After the last entry: false again, and the record zeroed.
    EXPECT_FALSE(finder.next());
    EXPECT_EQ(finder.name(), L"");
    EXPECT_EQ(finder.attributes(), 0u);
    finder.close();
    EXPECT_FALSE(finder.next());  // closed

    EXPECT_FALSE(finder.first(tree / L"*.nothing"));
    EXPECT_FALSE(finder.first(tree / L"missing\\*.*"));
    const std::wstring invalid = tree / L"a|b\\*";
    Failure failure = failureOf([&] { finder.first(invalid); });
    EXPECT_EQ(failure.message, osText(failure.code, L"FindFirstFile(" + invalid + L")"));
    EXPECT_EQ(failure.function, "VFileFinder::first");
    EXPECT_EQ(failure.line, 219u);
}

// HVC_createDirectory and HVC_createNestedDirectory as a caller binds them.
TEST(CreateExports, ExistingNestedAndWrongNames) {
    HMODULE dll = LoadLibraryW(L"hvcdmtutils.dll");
    ASSERT_NE(dll, nullptr);
    auto bind = [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(dll, name)); };
    auto lastError = reinterpret_cast<HVC_GetLastHvcDmtError_t>(bind(HVC_NAME_GetLastHvcDmtError));
    const struct {
        const char* name;
        HVC_createDirectory_t create;
    } exports[] = {
        {"HVC_createDirectory", reinterpret_cast<HVC_createDirectory_t>(bind(HVC_NAME_createDirectory))},
        {"HVC_createNestedDirectory", reinterpret_cast<HVC_createDirectory_t>(bind(HVC_NAME_createNestedDirectory))},
    };
    ASSERT_NE(lastError, nullptr);
    auto slot = [&] { return std::string(lastError() ? lastError() : ""); };
    for (const auto& e : exports) {
        ASSERT_NE(e.create, nullptr) << e.name;
        // x\y\z where only the drive root exists: a new top-level directory of the volume.
        const std::wstring top = fsutil::secondVolume() + L"\\" + fsutil::uniqueName(L"top");
        fsutil::RemoveAtEnd removeTop(top);
        const std::string nested = cstr(top + L"\\y\\z", 0);
        EXPECT_EQ(e.create(nested.c_str()), 0) << e.name << ": " << slot();
        EXPECT_EQ(slot(), "");
        EXPECT_TRUE(fsutil::isDirectory(top + L"\\y\\z"));
        EXPECT_EQ(e.create(nested.c_str()), 0) << e.name;  // existing
        EXPECT_EQ(slot(), "");

        EXPECT_EQ(e.create(""), 1) << e.name;
        EXPECT_EQ(slot(), "Unable to create directory with wrong name");
        const std::string relative = cstr(fsutil::uniqueName(L"rel") + L"\\x", 0);
        EXPECT_EQ(e.create(relative.c_str()), 1) << e.name;
        EXPECT_EQ(slot(), "Unable to create directory with wrong name");
        ASSERT_TRUE(fsutil::writeFile(top + L"\\file", "x"));
        const std::string underFile = cstr(top + L"\\file\\sub", 0);
        EXPECT_EQ(e.create(underFile.c_str()), 1) << e.name;
        const std::string tail = ") at CreateDirectory(" + underFile + ")";
        EXPECT_TRUE(slot().size() > tail.size() && slot().compare(slot().size() - tail.size(), tail.size(), tail) == 0)
            << slot();
    }
}
