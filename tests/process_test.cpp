// HVC_Execute against the stand-in run-as service (runassrv.exe) with real
// children (hvcchild.exe); the output loop and the user environment.
#include <gtest/gtest.h>
#include <windows.h>
#include <lm.h>
#include <sddl.h>
#include <aclapi.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <cstring>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "exports/hvcdmtutils.h"
#include "process/execute.h"
#include "process/stdpipes.h"
#include "process/userenv.h"
#include "runtime/cancellation.h"
#include "runtime/executecontext.h"
#include "runtime/exportframe.h"
#include "runtime/text.h"
#include "security/sid.h"
#include "security/token.h"
#include "standin.h"
#include "testutil.h"

namespace {

using standin::uniqueName;

// The stand-in on the library's pipe; it also ends with the test process.
class RunAsServer {
public:
    explicit RunAsServer(std::wstring switches = L"") : switches_(std::move(switches)) {
        wchar_t temp[MAX_PATH];
        log_ = std::wstring(temp, GetTempPathW(MAX_PATH, temp)) + uniqueName(L"runassrv") + L".log";
        start();
    }
    ~RunAsServer() {
        stop();
        DeleteFileW(log_.c_str());
    }
    void start() {
        std::vector<std::wstring> arguments = {L"--log", log_};
        for (const std::wstring& word : standin::words(switches_)) arguments.push_back(word);
        process_.start(L"runassrv.exe", arguments);
    }
    void stop() { process_.stop(); }
    // The log's lines that begin with `kind`, in order.
    std::vector<std::string> lines(const std::string& kind) const {
        std::vector<std::string> found;
        std::istringstream log(standin::readFile(log_));
        for (std::string line; std::getline(log, line);)
            if (line.compare(0, kind.size() + 1, kind + " ") == 0) found.push_back(line);
        return found;
    }

private:
    std::wstring switches_, log_;
    standin::StandInProcess process_;
};

std::string childCommand(const std::string& steps) {
    return "\"" + testutil::narrow(childprocess::binDirectory()) + "\\hvcchild.exe\" " + steps;
}

struct Outcome {
    unsigned long code = 0;
    std::string out, err, error;  // error: the slot after the call
    bool outputsWritten = false;
};

// One call through the DLL, or with `linked` the library linked into this
// program; the returned blocks copied and released.
Outcome run(const char* user, const char* command, const char* directory = nullptr, const char* input = nullptr,
            const char* environment = nullptr, bool linked = false) {
    static auto throughDll = testutil::exportOf<HVC_Execute_t>(HVC_NAME_Execute);
    static auto freeString = testutil::exportOf<HVC_FreeString_t>(HVC_NAME_FreeString);
    static auto lastError = testutil::exportOf<HVC_GetLastHvcDmtError_t>(HVC_NAME_GetLastHvcDmtError);
    static const char untouched[] = "(untouched)";
    const char *out = untouched, *err = untouched;
    Outcome o;
    o.code = (linked ? &HVC_Execute : throughDll)(user, command, directory, 0, input, &out, &err, environment);
    const char* slot = linked ? exportframe::lastError() : lastError();
    o.error = slot ? slot : "";
    o.outputsWritten = out != untouched || err != untouched;
    for (const char* block : {out, err}) {
        if (block == untouched) continue;
        (block == out ? o.out : o.err) = block ? block : "";
        if (linked) UniqueMallocPtr<char>(const_cast<char*>(block)).reset();  // this module's _strdup
        else freeString(block);
    }
    return o;
}

std::string domainSid() {
    UniqueAny<void*, &::NetApiBufferFree> modals;
    UniqueLocalPtr<wchar_t> text;
    if (NetUserModalsGet(nullptr, 2, reinterpret_cast<BYTE**>(modals.put())) != NERR_Success ||
        !ConvertSidToStringSidW(static_cast<USER_MODALS_INFO_2*>(modals.get())->usrmod2_domain_id, text.put()))
        return "";
    return testutil::narrow(text.get());
}

}  // namespace

TEST(Execute, StreamsExitCodeAndInput) {
    RunAsServer server;
    const std::string input = "line one\nline two\r\n" + std::string(1 << 20, 'i');  // more than a pipe holds
    struct {
        std::string steps;
        const char *directory, *input;
        unsigned long code;
        std::string out, err;
    } cases[] = {
        {"out hello err oops exit 3", nullptr, nullptr, 3, "hello", "oops"},
        {"zero", nullptr, nullptr, 0, "ab", ""},  // the blocks end at the first zero byte
        {"out A close-out sleep 200 err B sleep 100 err C exit 7", nullptr, nullptr, 7, "A", "BC"},
        {"echo-in", nullptr, input.c_str(), 0, input, ""},
        {"echo-in", nullptr, nullptr, 0, "", ""},  // no input: end of file at once
        {"cwd", "C:\\windows", nullptr, 0, "C:\\windows", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.steps);
        Outcome o = run("system", childCommand(c.steps).c_str(), c.directory, c.input);
        EXPECT_EQ(o.code, c.code);
        EXPECT_EQ(o.error, "");
        EXPECT_TRUE(o.out == c.out) << o.out.size() << " bytes: " << o.out.substr(0, 40);
        EXPECT_EQ(o.err, c.err);
    }
    // A child that ends without reading a megabyte of input: the call fails and writes no block.
    Outcome unread = run("system", childCommand("out ignored exit 0").c_str(), nullptr, input.c_str());
    EXPECT_EQ(unread.code, 0xFFFFFFFFu);
    EXPECT_EQ(unread.error.rfind("Can't write to std in of process: (", 0), 0u) << unread.error;
    EXPECT_FALSE(unread.outputsWritten);
    // Without places for the texts the output is still read to its end.
    EXPECT_EQ(testutil::exportOf<HVC_Execute_t>(HVC_NAME_Execute)("system", childCommand("fill 1000000 exit 5").c_str(),
                                                                 nullptr, 0, nullptr, nullptr, nullptr, nullptr),
              5u);
}

TEST(Execute, MegabytesOnBothStreamsInterleaved) {
    RunAsServer server;
    const unsigned total = 2u << 20;  // 32 times what a pipe holds, per stream
    Outcome o = run("system", childCommand("bulk " + std::to_string(total)).c_str());
    ASSERT_EQ(o.code, 0u) << o.error;
    ASSERT_EQ(o.out.size(), total / 2);
    ASSERT_EQ(o.err.size(), total / 2);
    // Chunk i of stream s is filled with 'a' + (i + s) % 26: nothing lost, nothing reordered.
    size_t wrong = 0;
    for (size_t at = 0; at < o.out.size(); at += 4096) {
        wrong += o.out[at] != static_cast<char>('a' + (at / 4096) % 26);
        wrong += o.err[at] != static_cast<char>('a' + (at / 4096 + 1) % 26);
        wrong += o.out[at] != o.out[at + 4095] || o.err[at] != o.err[at + 4095];
    }
    EXPECT_EQ(wrong, 0u);
}

// A child of another account gets none of the agent's own variables.
TEST(Execute, EnvironmentLines) {
    RunAsServer server;
    SetEnvironmentVariableW(L"ORVEX_DB_PASSWD", L"planted-secret");
    SetEnvironmentVariableW(L"AGENT_ONLY", L"x");
    Outcome o = run("system", childCommand("env").c_str(), nullptr, nullptr,
                    "path=C:\\custom\nlower=v\nMiXeD=w\nNOVALUE\nCR=x\r\nFIRST=1\n\nSECOND=2");
    SetEnvironmentVariableW(L"ORVEX_DB_PASSWD", nullptr);
    SetEnvironmentVariableW(L"AGENT_ONLY", nullptr);
    ASSERT_EQ(o.code, 0u) << o.error;
    const std::string text = "\n" + o.out;
    // Lines present in full; prefixes that no line may begin with.
    for (const char* line : {"PATH=C:\\custom", "LOWER=v", "MIXED=w", "NOVALUE=", "CR=x\r", "FIRST=1"})
        EXPECT_NE(text.find("\n" + std::string(line) + "\n"), std::string::npos) << line;
    for (const char* prefix : {"SECOND=", "Path=", "path=", "lower=", "MiXeD=", "ORVEX_DB_PASSWD=", "AGENT_ONLY="})
        EXPECT_EQ(text.find("\n" + std::string(prefix)), std::string::npos) << prefix;
}

TEST(Execute, AccountsReachTheServiceAsSids) {
    RunAsServer server;
    const std::string domain = domainSid();
    ASSERT_FALSE(domain.empty());
    struct { const char* user; std::string sid; } cases[] = {
        {"GUEST", domain + "-501"}, {"System", "S-1-5-18"}, {"ROOT", domain + "-500"},
        {"Administrators", "S-1-5-32-544"},  // any other name is looked up, the built-in domain too
    };
    for (const auto& c : cases) {
        Outcome o = run(c.user, childCommand("exit 0").c_str());
        EXPECT_EQ(o.code, 0u) << c.user << ": " << o.error;
        ASSERT_FALSE(server.lines("request").empty());
        EXPECT_EQ(server.lines("request").back().rfind("request sid=" + c.sid + " ", 0), 0u) << c.user;
    }
    // The request carries this process and thread, and the word 1 after the handles.
    const std::string tail = " caller=" + std::to_string(GetCurrentProcessId()) +
                             " thread=" + std::to_string(GetCurrentThreadId()) + " flag=1";
    const std::string last = server.lines("request").back();
    EXPECT_EQ(last.substr(last.size() - tail.size()), tail);
}

TEST(Execute, FailuresReachTheSlotWithoutBlocks) {
    const std::string child = childCommand("out never exit 0");
    const std::string noService =
        testutil::narrow(testutil::systemText(2) + L" (Error code 2) at Unable to connect to pipe " + RunTime::runAsPipeName);
    const std::string closing = "The run-as service closed the pipe " + testutil::narrow(RunTime::runAsPipeName) + " 4 times in a row: (";
    struct {
        const wchar_t* switches;  // null: no service at all
        const char *user, *command;
        std::string error;
        bool whole;  // the slot is exactly `error`, else it begins so
    } cases[] = {
        {L"", "no-such-account-here", child.c_str(), "Unable to lookup SID for name no-such-account-here: (1332) ", false},
        {L"", "system", "", "Unable to start  (error ", false},   // the service's text
        {L"--fault error", "system", child.c_str(), "Injected failure", true},  // the failure status, literally
        {L"--fault length", "system", child.c_str(), "Invalid answer from server: (no handle)", true},
        // A handle is taken only when it names another process; a reply has a length limit.
        {L"--fault self", "system", child.c_str(), "Invalid answer from server: (handle -1)", true},
        {L"--fault thread", "system", child.c_str(), "Invalid answer from server: (handle -2)", true},
        {L"--fault null", "system", child.c_str(), "Invalid answer from server: (handle 0)", true},
        {L"--fault event", "system", child.c_str(), "Invalid answer from server: (handle ", false},
        {L"--fault huge", "system", child.c_str(), "Invalid answer from server: (2147483647 bytes announced)", true},
        // A service that keeps closing the pipe: tried a bounded number of times.
        {L"--fault hangup", "system", child.c_str(), closing, false},
        {nullptr, "system", child.c_str(), noService, true},
    };
    for (const auto& c : cases) {
        std::unique_ptr<RunAsServer> server(c.switches ? new RunAsServer(c.switches) : nullptr);
        Outcome o = run(c.user, c.command);
        EXPECT_EQ(o.code, 0xFFFFFFFFu);
        EXPECT_EQ(c.whole ? o.error : o.error.substr(0, c.error.size()), c.error) << o.error;
        EXPECT_FALSE(o.outputsWritten);
    }
}

TEST(Execute, ReconnectsAfterTheServiceRestarted) {
    RunAsServer server;
    EXPECT_EQ(run("system", childCommand("exit 1").c_str()).code, 1u);
    server.start();  // a new service process between two calls
    Outcome again = run("system", childCommand("out back exit 2").c_str());
    EXPECT_EQ(again.code, 2u) << again.error;
    EXPECT_EQ(again.out, "back");
    EXPECT_EQ(server.lines("launch").size(), 2u);  // both processes log to one file
}

// A launch cancelled while the service delays its final reply leaves no
// reply behind for the next launch, and no handle in this process.
TEST(Execute, CancelledLaunchLeavesNoTrace) {
    RunAsServer server(L"--delay 500");
    auto& cancellations = *getExecuteContext()->cancelationRegistry();
    cancellations.setTracking(true);
    auto round = [&](size_t number) {
        std::atomic<DWORD> threadId{0};
        std::atomic<bool> cancelled{false};
        std::thread launcher([&] {
            threadId = GetCurrentThreadId();
            RunTime::SIDClient pipes;
            try {
                RunTime::launchAsUser(pipes, AccountSid::system().get(), wstr(childCommand("exit 0"), 0), L"", L"");
            } catch (const ThreadCancelation::ThreadCanceledException&) {
                cancelled = true;
            }
        });
        for (int i = 0; i < 500 && server.lines("request").size() < 2 * number - 1; ++i) Sleep(10);
        Sleep(150);  // the request is sent; the service sleeps before its reply
        for (int i = 0; i < 100 && !cancellations.cancel(threadId); ++i) Sleep(10);
        launcher.join();
        EXPECT_TRUE(cancelled);
        for (int i = 0; i < 200 && server.lines("undelivered").size() < number; ++i) Sleep(10);
        Outcome next = run("system", childCommand("out after exit 4").c_str(), nullptr, nullptr, nullptr, true);
        EXPECT_EQ(next.code, 4u) << next.error;
        EXPECT_EQ(next.out, "after");
    };
    round(1);  // the first makes what lives as long as the process or the thread
    const DWORD handles = testutil::openHandleCount();
    round(2);
    EXPECT_EQ(testutil::openHandleCount(), handles);
}

TEST(Execute, EightThreadsAtOnce) {
    RunAsServer server(L"--delay 20");  // launches overlap the other threads' reading
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&wrong, t] {
            for (int round = 0; round < 3; ++round) {
                const std::string tag = "t" + std::to_string(t) + "r" + std::to_string(round);
                Outcome o = run("system", childCommand("out " + tag + " fill 300000 err " + tag + " exit " +
                                                       std::to_string(t)).c_str());
                wrong += o.code != static_cast<unsigned long>(t) || o.out.size() != tag.size() + 300000 ||
                         o.out.compare(0, tag.size(), tag) != 0 || o.err != tag;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

// Linked in, so that the 3-minute wait can be shortened for this process only.
TEST(Execute, ChildOutlivingItsPipesIsTerminated) {
    RunAsServer server;
    const std::string command = childCommand("close-out close-err sleep 30000");
    execute::setExitWaitForTests(300);
    Outcome o = run("system", command.c_str(), nullptr, nullptr, nullptr, true);
    execute::setExitWaitForTests(180000);
    EXPECT_EQ(o.error, "Unable to execute (" + command + "): (1460) " + testutil::narrow(testutil::systemText(1460)));
    EXPECT_FALSE(o.outputsWritten);
    for (int i = 0; i < 100 && server.lines("exit").empty(); ++i) Sleep(50);
    ASSERT_EQ(server.lines("exit").size(), 1u);  // ended long before its sleep, with the code 1
    EXPECT_NE(server.lines("exit").front().find(" code=1"), std::string::npos);
}

// ---- the output loop

namespace {

// A connected pair from the library, with room for what the tests write.
struct PipePair {
    RunTime::PipeOverlapped overlapped;
    UniqueHandle read, write;
    PipePair() { RunTime::createOverlappedPipe(read, write, nullptr, 65536, overlapped.get()); }
    void put(const std::string& bytes) {
        DWORD written = 0;
        WriteFile(write.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }
    // What one fresh overlapped read gets within 5 s.
    std::string next() {
        RunTime::PipeOverlapped own;
        char buffer[64];
        DWORD got = 0;
        ReadFile(read.get(), buffer, sizeof buffer, nullptr, &own.get());
        const bool arrived = WaitForSingleObject(own.event(), 5000) == WAIT_OBJECT_0;
        if (!arrived) CancelIoEx(read.get(), &own.get());
        return GetOverlappedResult(read.get(), &own.get(), &got, TRUE) && arrived ? std::string(buffer, got) : "(nothing)";
    }
};

}  // namespace

TEST(ReadPipes, EndsLimitsAndWaysOut) {
    RunTime::PipeOverlapped a, b;
    std::string out = "x", err = "y";
    // Handles that are none count as finished.
    EXPECT_TRUE(RunTime::readPipes(out, err, nullptr, a.get(), INVALID_HANDLE_VALUE, b.get(), nullptr, 0, 0xFFFFFFFF));
    EXPECT_EQ(out + err, "");
    // A chunk is kept whole while fewer than maxBytes were kept; the rest is read and dropped.
    PipePair limited;
    limited.put(std::string(3000, 'm'));
    limited.write.reset();
    EXPECT_TRUE(RunTime::readPipes(out, err, limited.read.get(), limited.overlapped.get(), nullptr, b.get(), nullptr,
                                   INFINITE, 10));
    EXPECT_EQ(out, std::string(1024, 'm'));

    // Every way out leaves no read in flight: what comes later goes to the next reader.
    auto& cancellations = *getExecuteContext()->cancelationRegistry();
    cancellations.setTracking(true);
    enum Way { Stop, Timeout, Cancel };
    for (Way way : {Stop, Timeout, Cancel}) {
        SCOPED_TRACE(way);
        PipePair outPipe, errPipe;
        outPipe.put("early");
        UniqueHandle stop(CreateEventW(nullptr, TRUE, TRUE, nullptr));  // reset by the loop at its start
        UniqueHandle finish(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::atomic<int> result{-1};
        std::atomic<DWORD> threadId{0};
        std::string kept;
        std::thread reader([&] {
            threadId = GetCurrentThreadId();
            try {
                std::string o, e;
                result = RunTime::readPipes(o, e, outPipe.read.get(), outPipe.overlapped.get(), errPipe.read.get(),
                                            errPipe.overlapped.get(), way == Stop ? stop.get() : nullptr,
                                            way == Timeout ? 150 : INFINITE, 0xFFFFFFFF);
                kept = o;
            } catch (const ThreadCancelation::ThreadCanceledException&) {
                result = 2;
            }
            WaitForSingleObject(finish.get(), 10000);  // the thread's end would cancel its reads by itself
        });
        Sleep(200);
        if (way == Stop) SetEvent(stop.get());
        for (int i = 0; way == Cancel && i < 100 && !cancellations.cancel(threadId); ++i) Sleep(10);
        for (int i = 0; i < 500 && result < 0; ++i) Sleep(10);
        EXPECT_EQ(result.load(), way == Cancel ? 2 : 0);
        EXPECT_EQ(kept, way == Cancel ? "" : "early");
        outPipe.put("late");
        errPipe.put("later");
        EXPECT_EQ(outPipe.next(), "late");
        EXPECT_EQ(errPipe.next(), "later");
        SetEvent(finish.get());
        reader.join();
    }
}

TEST(PipePair, OwnPipeIsClosedToOthers) {
    RunTime::PipeOverlapped overlapped;
    UniqueHandle read, write;
    RunTime::createOverlappedPipe(read, write, nullptr, 0, overlapped.get());
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
    ASSERT_EQ(GetSecurityInfo(read.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor), DWORD(ERROR_SUCCESS));
    UniqueLocalPtr<void> owned(descriptor);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    EXPECT_TRUE(control & SE_DACL_PROTECTED);
    ASSERT_NE(dacl, nullptr);
    EXPECT_EQ(dacl->AceCount, 3);  // SYSTEM, the administrators, this user: nobody else
}

TEST(PipePair, ARefusedPipeFailsSoonNamingIt) {
    SECURITY_DESCRIPTOR broken;
    std::memset(&broken, 0xCC, sizeof broken);  // an unknown revision: every name is refused
    SECURITY_ATTRIBUTES security = {sizeof security, &broken, FALSE};
    RunTime::PipeOverlapped overlapped;
    UniqueHandle read, write;
    std::string text;
    try {
        RunTime::createOverlappedPipe(read, write, &security, 0, overlapped.get());
    } catch (const std::exception& e) {
        text = e.what();
    }
    EXPECT_EQ(text.rfind("Unable to create pipe (\\\\.\\pipe\\OrvexWin32.Pipes.", 0), 0u) << text;
    EXPECT_NE(text.find("): (1305) "), std::string::npos) << text;
}

// Whoever serves a service's pipe first gets nothing: it is refused before
// anything is sent, and its answers (the handle -1, an absurd length) are
// never read.
TEST(PipeSquatter, RefusedBeforeAnythingIsSent) {
    static auto getParam = testutil::exportOf<HVC_GetParam_t>(HVC_NAME_GetParam);
    static auto lastError = testutil::exportOf<HVC_GetLastHvcDmtError_t>(HVC_NAME_GetLastHvcDmtError);
    wchar_t image[MAX_PATH];
    DWORD size = MAX_PATH;
    ASSERT_TRUE(QueryFullProcessImageNameW(GetCurrentProcess(), 0, image, &size));
    struct { const wchar_t* pipe; std::vector<DWORD> answer; std::function<std::string()> call; } cases[] = {
        {RunTime::runAsPipeName, {1, 4, 0xFFFFFFFF}, [] { return run("system", childCommand("exit 0").c_str()).error; }},
        {standin::servicePipe, {0xFFFFFFF0}, [] { return getParam("ALPHA") ? "" : std::string(lastError()); }},
    };
    for (const auto& c : cases) {
        UniqueHandle squat(CreateNamedPipeW(c.pipe, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1,
                                            4096, 4096, 0, nullptr));
        ASSERT_TRUE(squat.valid());
        DWORD received = 0;
        std::thread server([&] {
            if (!ConnectNamedPipe(squat.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
            DWORD written = 0;
            for (DWORD word : c.answer) WriteFile(squat.get(), &word, sizeof word, &written, nullptr);
            char buffer[256];
            ReadFile(squat.get(), buffer, sizeof buffer, &received, nullptr);
            squat.reset();
        });
        const std::string error = c.call();
        server.join();
        const std::string refused = "Refused pipe " + testutil::narrow(c.pipe) + ": its server " +
                                    testutil::narrow(std::wstring(image, size)) + " (process ";
        EXPECT_EQ(error.rfind(refused, 0), 0u) << error;
        EXPECT_EQ(received, 0u);
    }
}

TEST(ForwardPipes, ChunksGoToThisProcessesStreams) {
    PipePair outPipe, errPipe, ownOut, ownErr;
    outPipe.put("to stdout");
    errPipe.put("to stderr");
    outPipe.write.reset();
    errPipe.write.reset();
    const HANDLE saved[2] = {GetStdHandle(STD_OUTPUT_HANDLE), GetStdHandle(STD_ERROR_HANDLE)};
    SetStdHandle(STD_OUTPUT_HANDLE, ownOut.write.get());
    SetStdHandle(STD_ERROR_HANDLE, ownErr.write.get());
    const bool ended = RunTime::forwardPipes(outPipe.read.get(), outPipe.overlapped.get(), errPipe.read.get(),
                                             errPipe.overlapped.get(), nullptr, INFINITE);
    SetStdHandle(STD_OUTPUT_HANDLE, saved[0]);
    SetStdHandle(STD_ERROR_HANDLE, saved[1]);
    EXPECT_TRUE(ended);
    EXPECT_EQ(ownOut.next(), "to stdout");
    EXPECT_EQ(ownErr.next(), "to stderr");
}

// The destructor returns only once the thread has gone, in every state it
// can be in; the object's memory, zeroed afterwards, stays untouched.
TEST(InputThread, NeverOutlivesItsOwner) {
    enum State { BeforeStart, Blocked, ChildGone };
    for (State state : {BeforeStart, Blocked, ChildGone}) {
        for (int round = 0; round < 200; ++round) {
            SCOPED_TRACE(testing::Message() << "state " << state << " round " << round);
            alignas(RunTime::SIDClient) unsigned char storage[sizeof(RunTime::SIDClient)];
            auto* pipes = new (storage) RunTime::SIDClient;
            ASSERT_TRUE(CreatePipe(pipes->stdinRead.put(), pipes->stdinWrite.put(), nullptr, 4096));
            pipes->setInput(std::string(1 << 16, 'w'));  // more than the pipe holds
            pipes->startInputThread();
            UniqueHandle thread;
            ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), pipes->inputThread.get(), GetCurrentProcess(),
                                        thread.put(), SYNCHRONIZE, FALSE, 0));
            if (state == ChildGone) pipes->stdinRead.reset();
            if (state != BeforeStart) Sleep(2);
            pipes->~SIDClient();
            const bool endedFirst = WaitForSingleObject(thread.get(), 0) == WAIT_OBJECT_0;
            std::memset(storage, 0, sizeof storage);  // a straggler would claim it or close a handle in it
            WaitForSingleObject(thread.get(), 2000);
            ASSERT_EQ(std::count(storage, storage + sizeof storage, 0), static_cast<long>(sizeof storage));
            ASSERT_TRUE(endedFirst);
        }
    }
}

// ---- the user environment

TEST(UserEnvironment, HomeFromAPath) {
    struct { const wchar_t *path, *drive, *directory; } cases[] = {
        {L"C:\\Users\\bob\\", L"C:", L"\\Users\\bob"}, {L"C:/Users/bob", L"C:", L"\\Users\\bob"},
        {L"C:\\Users\\bob\\.", L"C:", L"\\Users\\bob"}, {L"C:\\", L"C:", L""},
        {L"\\\\server\\share\\bob", L"", L"\\\\server\\share\\bob"},
    };
    for (const auto& c : cases) {
        UserEnvironment environment;
        environment.setHome(c.path);
        EXPECT_EQ(environment.variables().at(L"HOMEDRIVE"), c.drive) << testutil::narrow(c.path);
        EXPECT_EQ(environment.variables().at(L"HOMEPATH"), c.directory) << testutil::narrow(c.path);
    }
    UserEnvironment environment;
    EXPECT_THROW(environment.setHome(L"C:"), std::out_of_range);
    EXPECT_TRUE(environment.variables().empty());
}

// The caller's own account keeps the caller's variables; another account gets
// the system's; neither the database's connection variables. The caller's
// token is opened as CreateEnvironmentBlock needs it, from the thread or the process.
TEST(UserEnvironment, ForChildByAccount) {
    SetEnvironmentVariableW(L"ORVEX_DB_PASSWD", L"planted-secret");
    SetEnvironmentVariableW(L"AGENT_ONLY", L"x");
    for (bool impersonating : {false, true}) {
        ASSERT_TRUE(!impersonating || ImpersonateSelf(SecurityImpersonation));
        UniqueHandle token = execute::callerToken();
        RevertToSelf();
        using Query = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
        auto query = reinterpret_cast<Query>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
        struct { ULONG attributes; ACCESS_MASK granted; ULONG rest[20]; } basic = {};
        ASSERT_EQ(query(token.get(), 0, &basic, sizeof basic, nullptr), 0);
        const ACCESS_MASK needed = TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE;
        EXPECT_EQ(basic.granted & needed, needed) << impersonating;
        UniqueMallocPtr<BYTE> user = queryTokenInformation(token.get(), TokenUser);
        const AccountSid system = AccountSid::system();
        for (PSID account : {reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid, system.get()}) {
            const bool own = account != system.get();
            const auto variables = UserEnvironment::forChild(token.get(), account).variables();
            EXPECT_EQ(variables.count(L"AGENT_ONLY"), own ? 1u : 0u);
            EXPECT_EQ(variables.count(L"ORVEX_DB_PASSWD"), 0u);
            EXPECT_TRUE(!own || variables.count(L"HOMEDRIVE"));
        }
    }
    SetEnvironmentVariableW(L"ORVEX_DB_PASSWD", nullptr);
    SetEnvironmentVariableW(L"AGENT_ONLY", nullptr);
}

TEST(UserEnvironment, VariablesAndBlock) {
    UserEnvironment environment;
    EXPECT_EQ(environment.toBlock(), std::wstring(1, L'\0'));
    const wchar_t list[] = L"b=1\0Path=x\0=C:=C:\\dir\0=D:=D:\\\0NOVALUE\0a=2\0path=y\0\0ignored=1\0";
    environment.addVariables(std::wstring(list, sizeof list / sizeof list[0] - 1));
    const wchar_t block[] = L"=D:=D:\\\0A=2\0B=1\0NOVALUE=\0PATH=y\0";  // ordinal order of the upper-cased names
    EXPECT_EQ(environment.toBlock(), std::wstring(block, sizeof block / sizeof block[0]));
}
