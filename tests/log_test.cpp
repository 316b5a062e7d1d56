// Logging. Console output is checked byte for byte on a helper process's
// standard output; Wine's event log stores nothing, so the event-log sink is
// checked through the registry keys that registration writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "childprocess.h"
#include "runtime/executecontext.h"
#include "runtime/log.h"
#include "runtime/registry.h"
#include "testutil.h"

namespace {

// Zeroes this process's switch table (nothing reaches its console) and puts it back.
struct QuietSwitches {
    unsigned char* table = getExecuteContext()->logSwitches();
    unsigned char saved[LogSwitches::size];
    QuietSwitches() { std::memcpy(saved, table, sizeof saved); std::memset(table, 0, sizeof saved); }
    ~QuietSwitches() { std::memcpy(table, saved, sizeof saved); }
};

// Records its calls in a shared list; without one it throws.
struct Recorder : LogListener {
    std::vector<std::wstring>* calls;
    std::wstring name;
    Recorder(std::vector<std::wstring>* calls, const wchar_t* name) : calls(calls), name(name) {}
    void log(LogLevel level, const vexception& error) override { record(level, L" exception " + error.message()); }
    void log(LogLevel level, const std::wstring& text) override { record(level, L" text " + text); }
    void record(LogLevel level, const std::wstring& what) {
        if (!calls) throw vexception(L"listener");
        calls->push_back(name + L" " + std::to_wstring(level) + what);
    }
};

}  // namespace

TEST(LogConsoleTest, LinesOfTheProcess) {
    // Info and Warning are off: no line and no separator. The "\n" between
    // lines comes out as CR LF on a stdout in text mode.
    childprocess::Result result = childprocess::run(
        {L"0", L"i", L"3", L"first", L"1", L"w", L"2", L"100%", L"5", L"b\u00fccher \u4f8b\u5b50", L"1", L"w",
         L"9", L"beyond"});  // a level above Crash is written as an error
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.output, "first\r\n100%\r\nb\xc3\xbc" "cher \xe4\xbe\x8b\xe5\xad\x90\r\nbeyond");
}

TEST(LogSwitchesTest, DefaultsFollowDebug) {
    childprocess::SavedConfigValue debug(L"Debug");
    for (DWORD debugMode : {0u, 1u}) {
        debug.set(debugMode);
        // Console of levels 0-5, event log of levels 0-5, console started.
        EXPECT_EQ(childprocess::run({L"switches"}).output, debugMode ? "001111111111" "0" : "001111000111" "0");
    }
}

TEST(LogSwitchesTest, TableOfAnotherModuleIsUsedAsItIs) {
    QuietSwitches quiet;
    LogManager manager;
    EXPECT_EQ(std::count(quiet.table, quiet.table + LogSwitches::size, 0), LogSwitches::size);
}

TEST(LogEventLogTest, RegisterEventSourceKeys) {
    const std::wstring root = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\", file = L"C:\\Orvex\\orvexsrv.exe";
    const std::wstring plain = L"hvctest-" + std::to_wstring(GetCurrentProcessId()), taken = plain + L"-taken";
    registry::create(HKEY_LOCAL_MACHINE, root + L"Application\\" + taken, KEY_READ);
    for (const auto& names : {std::make_pair(plain, plain), std::make_pair(taken, L"Orvex:  " + taken)}) {
        EXPECT_TRUE(registerEventSource(names.first, file).valid());
        const std::wstring key = root + L"Orvex\\" + names.second;
        DWORD types = 0;
        registry::lookup(HKEY_LOCAL_MACHINE, key, L"TypesSupported", types);
        EXPECT_EQ(types, 7u) << key;
        EXPECT_EQ(registry::getstr(HKEY_LOCAL_MACHINE, key, L"EventMessageFile", REG_SZ), file);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
    }
    // The Application log's source is not taken over, nor registered under its own name.
    EXPECT_FALSE(registry::keyExists(HKEY_LOCAL_MACHINE, root + L"Orvex\\" + taken));
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (root + L"Application\\" + taken).c_str());
}

TEST(LogManagerTest, ListenersInOrder) {
    QuietSwitches quiet;
    std::vector<std::wstring> calls;
    LogManager manager;
    manager.addListener(std::make_unique<Recorder>(&calls, L"a"));
    manager.addListener(std::make_unique<Recorder>(&calls, L"b"));
    manager.log(Info, L"one");
    manager.log(Crash, vexception(L"two"));
    manager.addListener(std::make_unique<Recorder>(nullptr, L"c"));
    manager.log(Warning, L"three");  // a text log call never throws
    EXPECT_THROW(manager.log(Error, vexception(L"four")), vexception);
    EXPECT_EQ(calls, (std::vector<std::wstring>{L"a 0 text one", L"b 0 text one", L"a 5 exception two",
                                                L"b 5 exception two", L"a 1 text three", L"b 1 text three",
                                                L"a 3 exception four", L"b 3 exception four"}));
}

// A process that holds the event-log mutex makes a log write give up the
// registration in bounded time instead of hanging it.
TEST(LogEventLogTest, HeldMutexDoesNotHangALogWrite) {
    const std::wstring mutex = L"{F485C63C-FF60-4c1a-A4BF-A3958C9F3D32}";
    const std::wstring event = L"hvctest-eventlog-" + std::to_wstring(GetCurrentProcessId());
    childprocess::SavedConfigValue service(L"OrvexService");
    service.set(std::wstring(L"C:\\Orvex\\orvexsrv.exe"));
    UniqueHandle held(CreateEventW(nullptr, TRUE, FALSE, (event + L"-held").c_str()));
    UniqueHandle release(CreateEventW(nullptr, TRUE, FALSE, (event + L"-release").c_str()));
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    UniqueHandle nul(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
    UniqueHandle child = childprocess::start({L"take", mutex, L"wait", event}, nul.get());
    ASSERT_EQ(WaitForSingleObject(held.get(), 30000), WAIT_OBJECT_0);
    QuietSwitches quiet;
    quiet.table[LogSwitches::eventLog + Error] = 1;
    LogManager manager;
    const ULONGLONG start = GetTickCount64();
    manager.log(Error, L"while another process holds the mutex");
    EXPECT_LT(GetTickCount64() - start, 10000u);
    EXPECT_EQ(testutil::failureOf([&] { registerEventSource(L"hvctest", L"x.exe"); }).message(),
              L"Timed out after 2000 ms waiting for mutex " + mutex);
    SetEvent(release.get());
    childprocess::finish(child);
}
