// Crash dumps: settings from the configuration key's 32-bit view, a dump
// written for a fault that dbghelp reads back, the export's failure text
// unchanged, and pruning to the newest dumps.
#include <gtest/gtest.h>
#include <windows.h>
#include <dbghelp.h>

#include <memory>
#include <string>
#include <vector>

#include "childprocess.h"
#include "fs/crashdump.h"
#include "fsutil.h"
#include "runtime/registry.h"
#include "runtime/setranslator.h"
#include "runtime/text.h"
#include "testutil.h"

namespace {

// The crash-dump values of the configuration key's 32-bit view, each
// absent at first and put back as it was at the end.
struct CrashDumpSettings {
    childprocess::SavedConfigValue enabled{L"CrashDumpsEnabled", KEY_WOW64_32KEY},
        root{L"PRODUCT_ROOT_D", KEY_WOW64_32KEY}, location{L"CrashDumpsLocation", KEY_WOW64_32KEY},
        maxCount{L"CrashDumpsMaxCount", KEY_WOW64_32KEY};
    CrashDumpSettings() {
        for (auto* value : {&enabled, &root, &location, &maxCount}) value->remove();
    }
};

std::vector<std::wstring> dumpsIn(const std::wstring& dir) {
    std::vector<std::wstring> dumps;
    for (const std::wstring& name : fsutil::names(dir))
        if (name.size() > 4 && name.compare(name.size() - 4, 4, L".dmp") == 0) dumps.push_back(name);
    return dumps;
}

// The exception code a dump file records, or 0.
DWORD exceptionCodeOf(const std::wstring& path) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return 0;
    UniqueHandle mapping(CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping) return 0;
    struct View {
        void* base;
        ~View() {
            if (base) UnmapViewOfFile(base);
        }
    } view{MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0)};
    MINIDUMP_DIRECTORY* directory = nullptr;
    void* stream = nullptr;
    ULONG size = 0;
    if (!view.base || !MiniDumpReadDumpStream(view.base, ExceptionStream, &directory, &stream, &size)) return 0;
    return static_cast<MINIDUMP_EXCEPTION_STREAM*>(stream)->ExceptionRecord.ExceptionCode;
}

// Runs a Unix tool (ln, chmod, rm) on the Unix names of the paths: Wine
// starts Unix programs (their handles signal at once, so a marker file says
// when the tool is done), and shows a link to a directory as a reparse point.
void unixTool(const std::wstring& command, const std::vector<std::wstring>& paths) {
    using UnixName = char*(CDECL*)(const wchar_t*);
    auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    ASSERT_TRUE(unixName);
    const std::wstring done = paths[0] + L".done";
    std::wstring line = L"Z:\\bin\\sh -c \"" + command;
    std::vector<std::wstring> all = paths;
    all.push_back(done);
    for (size_t i = 0; i < all.size(); ++i) {
        char* name = unixName(all[i].c_str());
        ASSERT_TRUE(name);
        line += (i + 1 == all.size() ? L"; touch '" : L" '") + wstr(name, CP_UTF8) + L"'";
        HeapFree(GetProcessHeap(), 0, name);
    }
    line += L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    UniqueProcessInformation process;
    ASSERT_TRUE(CreateProcessW(L"Z:\\bin\\sh", &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               process.put()));
    for (int wait = 0; wait < 100 && !DeleteFileW(done.c_str()); ++wait) Sleep(50);
}

// A fault's pointers for a dump written outside a fault.
struct FakeFault {
    EXCEPTION_RECORD record = {};
    CONTEXT context = {};
    EXCEPTION_POINTERS pointers = {&record, &context};
    FakeFault() { RtlCaptureContext(&context); }
};

}  // namespace

TEST(CrashDumps, SettingsComeFromTheThirtyTwoBitView) {
    fsutil::TempTree root;
    CrashDumpSettings settings;
    {
        CrashDumpInfo missingRoot;  // no product root: off
        EXPECT_FALSE(missingRoot.enabled());
    }
    settings.root.set(root.path());
    {
        CrashDumpInfo defaults;
        ASSERT_TRUE(defaults.enabled());
        EXPECT_EQ(defaults.location(), root / L"etc\\crashdumps");
        EXPECT_EQ(defaults.maxCount(), 10u);
        EXPECT_TRUE(fsutil::names(root / L"etc").size() == 1);  // the directory was made
        // The host's base name and the local time, without a separator.
        std::wstring name = defaults.getFileName();
        const std::wstring prefix = root / L"etc\\crashdumps\\hvctests";
        ASSERT_EQ(name.compare(0, prefix.size(), prefix), 0) << testutil::narrow(name);
        EXPECT_EQ(name.size(), prefix.size() + 19);  // yyyymmdd_hhmmss.dmp
        EXPECT_EQ(name.substr(name.size() - 4), L".dmp");
    }
    settings.enabled.set(0u);
    CrashDumpInfo off;
    EXPECT_FALSE(off.enabled());
    EXPECT_EQ(testutil::failureOf([&] { off.getFileName(); }).message(), L"Crash dumping does not enabled");
}

TEST(CrashDumps, FaultLeavesADumpThatDbghelpReads) {
    fsutil::TempTree root;
    CrashDumpSettings settings;
    settings.root.set(root.path());
    settings.location.set(root / L"dumps");
    CrashDumpInfo info;
    ASSERT_TRUE(info.enabled());
    installCrashDumps(info);
    unsigned code = 0;
    try {
        SeTranslatorScope faults;
        volatile int* volatile nowhere = nullptr;
        *nowhere = 1;
    } catch (const cwrpexception& e) {
        code = e.code();
    }
    uninstallCrashDumps();
    EXPECT_EQ(code, 0xC0000005u);
    std::vector<std::wstring> dumps = dumpsIn(root / L"dumps");
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_EQ(exceptionCodeOf(root / (L"dumps\\" + dumps[0])), 0xC0000005u);
}

// The DLL reads its settings when it loads: a fresh process that passes an
// unreadable string gets the usual failure text, and a dump is left.
TEST(CrashDumps, ExportFailsAsBeforeAndLeavesADump) {
    fsutil::TempTree root;
    CrashDumpSettings settings;
    settings.root.set(root.path());
    settings.location.set(root.path());
    childprocess::Result result = childprocess::run({L"fault-export"});
    EXPECT_EQ(result.output, "C Exception: 3221225477");
    std::vector<std::wstring> dumps = dumpsIn(root.path());
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_EQ(dumps[0].rfind(L"hvctesthelper", 0), 0u);
    EXPECT_EQ(exceptionCodeOf(root / dumps[0]), 0xC0000005u);
}

TEST(CrashDumps, PruningKeepsTheNewest) {
    fsutil::TempTree root;
    CrashDumpSettings settings;
    settings.root.set(root.path());
    settings.location.set(root.path());
    settings.maxCount.set(2u);
    // Names in another order than their times: the times decide.
    const wchar_t* const byAge[] = {L"c.dmp", L"a.dmp", L"e.dmp", L"b.dmp", L"d.dmp"};
    for (int age = 0; age < 5; ++age) {
        UniqueHandle file(CreateFileW((root / byAge[age]).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        ASSERT_TRUE(file.valid());
        FILETIME time = {static_cast<DWORD>(age) * 10000000u, 0x01D00000};  // a second apart
        SetFileTime(file.get(), nullptr, nullptr, &time);
    }
    UniqueHandle zip(CreateFileW((root / L"old.zip").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    zip.reset();
    ASSERT_TRUE(CreateDirectoryW((root / L"folder.dmp").c_str(), nullptr));
    { CrashDumpInfo info; }
    EXPECT_EQ(fsutil::names(root.path()), (std::vector<std::wstring>{L"b.dmp", L"d.dmp", L"folder.dmp", L"old.zip"}));
}

// The dump holds stacks and modules, not the heap: a secret planted in the
// heap is not in it, while the whole memory (the former dump type) holds it.
TEST(CrashDumps, SecretInTheHeapStaysOutOfTheDump) {
    fsutil::TempTree root;
    CrashDumpSettings settings;
    settings.root.set(root.path());
    settings.location.set(root / L"dumps");
    // Made at run time in the heap: no literal and no stack copy of it exists
    // while the dumps are written.
    std::unique_ptr<char[]> secret(new char[64]);
    for (DWORD i = 0; i < 64; ++i) secret[i] = static_cast<char>('A' + (i * 7 + GetCurrentProcessId()) % 26);
    CrashDumpInfo info;
    ASSERT_TRUE(info.enabled());
    installCrashDumps(info);
    try {
        SeTranslatorScope faults;
        volatile int* volatile nowhere = nullptr;
        *nowhere = 1;
    } catch (const cwrpexception&) {
    }
    uninstallCrashDumps();
    {
        UniqueHandle full(CreateFileW((root / L"full.dmp").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        ASSERT_TRUE(MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), full.get(),
                                      static_cast<MINIDUMP_TYPE>(7), nullptr, nullptr, nullptr));
    }
    const std::string wanted(secret.get(), 64);
    std::vector<std::wstring> dumps = dumpsIn(root / L"dumps");
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_EQ(fsutil::readFile(root / (L"dumps\\" + dumps[0])).find(wanted), std::string::npos);
    EXPECT_NE(fsutil::readFile(root / L"full.dmp").find(wanted), std::string::npos);
}

// Only a safe directory takes dumps: not a link, nor one that others may
// write into. A taken name (a planted file or link) stays as it was and the
// dump gets a name of its own.
TEST(CrashDumps, UnsafeDirectoriesAndTakenNamesAreNotWrittenThrough) {
    fsutil::TempTree root;
    CrashDumpSettings settings;
    settings.root.set(root.path());
    ASSERT_TRUE(CreateDirectoryW((root / L"elsewhere").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((root / L"open").c_str(), nullptr));
    unixTool(L"ln -s", {root / L"elsewhere", root / L"linked"});
    ASSERT_EQ(GetFileAttributesW((root / L"linked").c_str()), 0x410u);
    unixTool(L"chmod 777", {root / L"open"});
    for (const wchar_t* unsafe : {L"linked", L"open"}) {
        settings.location.set(root / unsafe);
        EXPECT_FALSE(CrashDumpInfo().enabled()) << cstr(unsafe);
    }
    unixTool(L"rm", {root / L"linked"});

    settings.location.set(root / L"dumps");
    CrashDumpInfo info;
    ASSERT_TRUE(info.enabled());
    ASSERT_TRUE(fsutil::writeFile(root / L"target.txt", "kept"));
    unixTool(L"ln -s", {root / L"target.txt", root / L"dumps\\link.dmp"});
    ASSERT_TRUE(fsutil::writeFile(root / L"dumps\\file.dmp", "kept"));
    FakeFault fault;
    for (const wchar_t* taken : {L"link.dmp", L"file.dmp"})
        internalDumpMiniDump(root / (L"dumps\\" + std::wstring(taken)), &fault.pointers, crashDumpType);
    EXPECT_EQ(fsutil::readFile(root / L"target.txt"), "kept");
    EXPECT_EQ(fsutil::readFile(root / L"dumps\\file.dmp"), "kept");
    std::vector<std::wstring> dumps = dumpsIn(root / L"dumps");
    ASSERT_EQ(dumps.size(), 4u);  // file.dmp, file_xxxxxxxx.dmp, link.dmp, link_xxxxxxxx.dmp
    EXPECT_EQ(dumps[1].size(), std::wstring(L"file_12345678.dmp").size());
    unixTool(L"rm", {root / L"dumps\\link.dmp"});
}
