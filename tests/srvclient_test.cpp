// The service client against the stand-in management service (orvexsrv.exe)
// in a separate process: the bytes on the wire, malformed answers, a
// restarting service, the shared client and HVC_GetParam.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <thread>

#include "exports/hvcdmtutils.h"
#include "ipc/srvclient.h"
#include "runtime/log.h"
#include "runtime/text.h"
#include "standin.h"
#include "testutil.h"

namespace {

using standin::Server;

Server::Options service(const std::wstring& switches = L"", const std::wstring& pipe = standin::uniquePipe()) {
    const char* params = "param ALPHA=one\nparam abc=xyz\nparam EMPTY=\nparam CAFE=caf\xC3\xA9\npassword pwd=secret\n";
    return {pipe, params, switches, true, true};
}

using testutil::failureOf;

std::wstring noService(const std::wstring& pipe) {
    return testutil::systemText(2) + L" (Error code 2) at Unable to connect to pipe " + pipe;
}

}  // namespace

TEST(OrvexSrvClient, RequestBytesOnTheWire) {
    Server server(service());
    OrvexSrvClient client(server.pipe());
    EXPECT_EQ(client.getString(L"abc"), L"xyz");
    client.setPassword(L"pwd", L"new");
    EXPECT_EQ(client.getPassword(L"pwd"), L"new");
    // Each request is two messages, the body length and the body: the
    // identifier as a 16-byte blob (GUID memory layout), then string blobs;
    // a three-character name is length 7, character size 2, six bytes.
    const std::vector<std::string> expected = {
        "1F000000", "10000000" "3CBC3EADB9E6CF4FABB9ED1B3D524F22" "07000000" "02" "610062006300",
        "2A000000",
        "10000000" "54F7D934E88BFE469CF23AFDBE4E8DD8" "07000000" "02" "700077006400" "07000000" "02" "6E0065007700",
        "1F000000", "10000000" "07A6A150B950B34D92ECB940EB87F8FF" "07000000" "02" "700077006400",
    };
    EXPECT_EQ(server.messages(), expected);
}

TEST(OrvexSrvClient, MalformedAnswers) {
    // requests: seen by the stand-in; a failed exchange is tried once more.
    struct { const wchar_t* fault; bool password; std::wstring message; size_t requests; } cases[] = {
        {L"zero", true, L"Unexpected end of data when read C-string from serializer.", 1},
        {L"truncated", false, L"Unexpected end of data when read from serializer.", 1},
        {L"charsize3", false, L"Unsupported char size when read C-string from serializer.", 1},
        {L"double-error", true, L"Double exception on read from serializer", 1},
        {L"error", false, L"Injected failure", 1},  // the service's own message
        {L"short", false, L"Completed only 11 of 19 bytes", 2},  // 8 more bytes announced than sent
        {L"oversized", false, L"Answer of 16777227 bytes exceeds the limit of 1048576 bytes", 2},
    };
    for (const auto& c : cases) {
        Server server(service(std::wstring(L"--fault ") + c.fault));
        OrvexSrvClient client(server.pipe());
        vexception failure = failureOf([&] { c.password ? client.getPassword(L"pwd") : client.getString(L"ALPHA"); });
        EXPECT_EQ(failure.message(), c.message) << c.fault;
        EXPECT_EQ(failure.locations().back().context, c.password ? L"getPassword('pwd')" : L"getString(ALPHA)");
        EXPECT_EQ(server.messages().size(), 2 * c.requests) << c.fault;
    }
    // Character size 1: the value in the ANSI code page.
    Server narrow(service(L"--fault narrow"));
    EXPECT_EQ(OrvexSrvClient(narrow.pipe()).getString(L"CAFE"), wstr(cstr(L"caf\u00e9", 0), 0));
}

TEST(OrvexSrvClient, BrokenConnectionIsReplacedOnce) {
    static std::atomic<int> warnings{0};
    struct Listener : LogListener {
        void log(LogLevel, const vexception&) override {}
        void log(LogLevel level, const std::wstring& text) override {
            const wchar_t* broken = L"Connection to Orvex Management Service is broken: Pipe is finished";
            warnings += level == Warning && text == broken;
        }
    };
    LogManager::instance().addListener(std::unique_ptr<LogListener>(new Listener));
    Server server(service());
    OrvexSrvClient client(server.pipe());
    EXPECT_EQ(client.getString(L"ALPHA"), L"one");
    server.start();  // the service restarts between two requests
    EXPECT_EQ(client.getString(L"ALPHA"), L"one");
    EXPECT_EQ(client.getString(L"abc"), L"xyz");
    EXPECT_EQ(warnings.load(), 1);
    // Gone for good: the reconnection's failure is the request's.
    server.stop();
    EXPECT_EQ(failureOf([&] { client.getString(L"ALPHA"); }).message(), noService(server.pipe()));
}

// Runs in a process of its own (see SharedClient.FirstUseInAFreshProcess):
// the shared client must not exist yet.
TEST(SharedClientChild, DISABLED_FirstUseFailsThenRetries) {
    try {
        OrvexSrvClient::getInstance();
        FAIL() << "the shared client connected without a service";
    } catch (const VFileNotFoundException& e) {
        EXPECT_EQ(e.message(), noService(standin::servicePipe));
        EXPECT_EQ(e.locations().back().context, L"get shared instance of OrvexSrvClient");
    }
    // Once the service runs, the next call creates the client.
    Server server(service(L"", standin::servicePipe));
    EXPECT_EQ(OrvexSrvClient::getInstance().getString(L"ALPHA"), L"one");
}

TEST(SharedClient, FirstUseInAFreshProcess) {
    UniqueHandle output = childprocess::inheritable(GetStdHandle(STD_OUTPUT_HANDLE));
    DWORD code = childprocess::finish(childprocess::start(
        {L"--gtest_also_run_disabled_tests", L"--gtest_filter=SharedClientChild.DISABLED_FirstUseFailsThenRetries"},
        output.get(), L"hvctests.exe"));
    EXPECT_EQ(code, 0u) << "the child's test failed; its output is above";
}

TEST(SharedClient, ThreadsNeverSeeEachOthersAnswers) {
    Server server(service(L"", standin::servicePipe));
    const std::wstring params[][2] = {{L"ALPHA", L"one"}, {L"abc", L"xyz"}, {L"EMPTY", L""}, {L"CAFE", L"caf\u00e9"}};
    std::atomic<int> wrong{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 8; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < 60; ++i) {
                std::wstring value = L"(failed)";
                failureOf([&] { value = OrvexSrvClient::getInstance().getString(params[t % 4][0]); });
                wrong += value != params[t % 4][1];
            }
        });
    }
    for (std::thread& worker : workers) worker.join();
    EXPECT_EQ(wrong.load(), 0);
}

// HVC_GetParam as a caller sees it: the DLL loaded, bound by name.
TEST(GetParamExport, ThroughTheDll) {
    auto getParam = testutil::exportOf<HVC_GetParam_t>(HVC_NAME_GetParam);
    auto freeString = testutil::exportOf<HVC_FreeString_t>(HVC_NAME_FreeString);
    auto lastError = testutil::exportOf<HVC_GetLastHvcDmtError_t>(HVC_NAME_GetLastHvcDmtError);
    ASSERT_TRUE(getParam && freeString && lastError);
    Server server(service(L"", standin::servicePipe));
    const std::string longName(100000, 'L'), cafe = cstr(L"caf\u00e9", 0);
    struct { const char* name; const char* value; std::string error; } cases[] = {  // value null: fails
        {"NOPE", nullptr, "Parameter not found: NOPE"},
        {"ALPHA", "one", ""},  // a success after a failure leaves the slot empty
        {longName.c_str(), nullptr, "Parameter not found: " + longName},
        {"EMPTY", "", ""},  // a new empty block, not null
        {nullptr, nullptr, "Invalid argument: name is null"},
        {"CAFE", cafe.c_str(), ""},
    };
    for (const auto& c : cases) {
        const char* result = getParam(c.name);
        EXPECT_STREQ(result, c.value);
        EXPECT_EQ(lastError() ? lastError() : "", c.error);
        if (result) freeString(result);
    }
}
