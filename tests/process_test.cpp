// Process execution against the stand-in run-as service (runassrv.exe) and
// real children (hvcchild.exe): HVC_Execute through the DLL as a caller binds
// it, the output loop and the user environment inside the library.
#include <gtest/gtest.h>
#include <windows.h>
#include <lm.h>
#include <sddl.h>

#include <atomic>
#include <chrono>
#include <functional>
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
#include "standin.h"
#include "testutil.h"

namespace {

using standin::uniqueName;

// The stand-in run-as service on the one pipe the library asks; it ends with
// the test process at the latest.
class RunAsServer {
public:
    explicit RunAsServer(std::wstring switches = L"") : switches_(std::move(switches)) {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        log_ = temp + uniqueName(L"runassrv") + L".log";
        start();
    }
    ~RunAsServer() {
        stop();
        DeleteFileW(log_.c_str());
    }
    RunAsServer(const RunAsServer&) = delete;
    RunAsServer& operator=(const RunAsServer&) = delete;

    void start() {
        stop();
        const std::wstring ready = uniqueName(L"runas-ready");
        UniqueHandle readyEvent(CreateEventW(nullptr, TRUE, FALSE, ready.c_str()));
        std::vector<std::wstring> args = {L"--quiet", L"--ready-event", ready, L"--parent",
                                          std::to_wstring(GetCurrentProcessId()), L"--log", log_};
        std::wistringstream words(switches_);
        for (std::wstring word; words >> word;) args.push_back(word);
        process_ = childprocess::start(args, nullptr, L"runassrv.exe");
        HANDLE waits[2] = {readyEvent.get(), process_.get()};
        if (!process_ || WaitForMultipleObjects(2, waits, FALSE, 20000) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "runassrv.exe did not get ready";
            stop();
        }
    }
    void stop() {
        if (!process_) return;
        TerminateProcess(process_.get(), 0);
        WaitForSingleObject(process_.get(), 10000);
        process_.reset();
    }

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
    UniqueHandle process_;
};

std::string childCommand(const std::string& steps) {
    return "\"" + testutil::narrow(childprocess::binDirectory()) + "\\hvcchild.exe\" " + steps;
}

struct Outcome {
    unsigned long code = 0;
    std::string out, err;
    std::string error;  // the slot after the call
    bool outputsWritten = false;
};

const char* const untouched = "(untouched)";

using ExecuteFunction = unsigned long(__cdecl*)(const char*, const char*, const char*, unsigned long, const char*,
                                                const char**, const char**, const char*);

// One call; the texts copied and released.
Outcome run(const char* user, const char* command, const char* directory = nullptr, const char* input = nullptr,
                const char* environment = nullptr, ExecuteFunction function = nullptr) {
    static auto throughDll = testutil::exportOf<HVC_Execute_t>(HVC_NAME_Execute);
    static auto freeString = testutil::exportOf<HVC_FreeString_t>(HVC_NAME_FreeString);
    static auto lastError = testutil::exportOf<HVC_GetLastHvcDmtError_t>(HVC_NAME_GetLastHvcDmtError);
    const char* out = untouched;
    const char* err = untouched;
    Outcome outcome;
    outcome.code = (function ? function : throughDll)(user, command, directory, 0, input, &out, &err, environment);
    const char* slot = function ? exportframe::lastError() : lastError();
    outcome.error = slot ? slot : "";
    outcome.outputsWritten = out != untouched || err != untouched;
    if (out != untouched && out) outcome.out = out;
    if (err != untouched && err) outcome.err = err;
    if (!function) {
        if (out != untouched) freeString(out);
        if (err != untouched) freeString(err);
    } else {  // the library linked in: its blocks are this module's _strdup
        UniqueMallocPtr<char> ownOut(out != untouched ? const_cast<char*>(out) : nullptr);
        UniqueMallocPtr<char> ownErr(err != untouched ? const_cast<char*>(err) : nullptr);
    }
    return outcome;
}

std::string userName() {
    wchar_t name[257];
    DWORD size = 257;
    return GetUserNameW(name, &size) ? testutil::narrow(name) : std::string();
}

std::string sidString(PSID sid) {
    UniqueLocalPtr<wchar_t> text;
    return ConvertSidToStringSidW(sid, text.put()) ? testutil::narrow(text.get()) : std::string();
}

// The local account domain's SID as text, asked of the system directly.
std::string domainSid() {
    UniqueAny<void*, &::NetApiBufferFree> modals;
    if (NetUserModalsGet(nullptr, 2, reinterpret_cast<BYTE**>(modals.put())) != NERR_Success) return "";
    return sidString(static_cast<USER_MODALS_INFO_2*>(modals.get())->usrmod2_domain_id);
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

bool hasLine(const std::vector<std::string>& lines, const std::string& line) {
    for (const std::string& each : lines)
        if (each == line) return true;
    return false;
}

bool hasPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    for (const std::string& each : lines)
        if (each.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
}

}  // namespace

TEST(Execute, OutputErrorsExitCodeAndInput) {
    RunAsServer server;
    const std::string user = userName(), megabyte(1 << 20, 'i');
    struct {
        std::string steps;
        const char* directory;
        const char* input;
        unsigned long code;
        std::string out, err;
    } cases[] = {
        {"out hello err oops exit 3", nullptr, nullptr, 3, "hello", "oops"},
        {"exit 0", nullptr, nullptr, 0, "", ""},
        {"zero", nullptr, nullptr, 0, "ab", ""},  // the blocks end at the first zero byte
        {"out A close-out sleep 200 err B sleep 100 err C exit 7", nullptr, nullptr, 7, "A", "BC"},
        {"echo-in", nullptr, "line one\nline two\r\n", 0, "line one\nline two\r\n", ""},
        {"count-in", nullptr, megabyte.c_str(), 0, "1048576", ""},  // more than any pipe holds
        {"count-in", nullptr, nullptr, 0, "0", ""},                 // no input: end of file at once
        {"count-in", nullptr, "", 0, "0", ""},
        {"cwd", "C:\\windows", nullptr, 0, "C:\\windows", ""},
        {"exit 4294967295", nullptr, nullptr, 0xFFFFFFFF, "", ""},  // a child's code, not a failure
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.steps);
        Outcome outcome = run(user.c_str(), childCommand(c.steps).c_str(), c.directory, c.input);
        EXPECT_EQ(outcome.code, c.code);
        EXPECT_EQ(outcome.error, "");
        EXPECT_EQ(outcome.out, c.out);
        EXPECT_EQ(outcome.err, c.err);
    }
    // A child that ends without reading more input than a pipe holds: the
    // blocked write fails once the child has gone, and so does the call.
    Outcome unread = run(user.c_str(), childCommand("out ignored exit 0").c_str(), nullptr, megabyte.c_str());
    EXPECT_EQ(unread.code, 0xFFFFFFFFu);
    EXPECT_EQ(unread.error.rfind("Can't write to std in of process: (", 0), 0u) << unread.error;
    EXPECT_FALSE(unread.outputsWritten);
    // Without places for the texts the output is still read to its end.
    static auto function = testutil::exportOf<HVC_Execute_t>(HVC_NAME_Execute);
    EXPECT_EQ(function(user.c_str(), childCommand("fill 1000000 exit 5").c_str(), nullptr, 0, nullptr, nullptr,
                       nullptr, nullptr),
              5u);
}

TEST(Execute, MegabytesOnBothStreamsInterleaved) {
    RunAsServer server;
    const unsigned total = 16u << 20;
    Outcome outcome = run("system", childCommand("bulk " + std::to_string(total)).c_str());
    ASSERT_EQ(outcome.code, 0u) << outcome.error;
    ASSERT_EQ(outcome.out.size(), total / 2);
    ASSERT_EQ(outcome.err.size(), total / 2);
    // Chunk i of stream s is filled with 'a' + (i + s) % 26: nothing lost, nothing reordered.
    size_t wrong = 0;
    for (size_t at = 0; at < outcome.out.size(); at += 4096) {
        wrong += outcome.out[at] != static_cast<char>('a' + (at / 4096) % 26);
        wrong += outcome.err[at] != static_cast<char>('a' + (at / 4096 + 1) % 26);
        wrong += outcome.out[at] != outcome.out[at + 4095] || outcome.err[at] != outcome.err[at + 4095];
    }
    EXPECT_EQ(wrong, 0u);
}

TEST(Execute, EnvironmentLines) {
    RunAsServer server;
    struct {
        const char* environment;
        std::vector<std::string> present, absent;  // absent: no line begins so
    } cases[] = {
        {"FIRST=1\n\nSECOND=2", {"FIRST=1"}, {"SECOND="}},  // an empty line ends the list
        {"NOVALUE", {"NOVALUE="}, {}},
        {"CR=x\r\nNEXT=y", {"CR=x\r", "NEXT=y"}, {}},  // the carriage return stays in the value
        {"path=C:\\custom", {"PATH=C:\\custom"}, {"Path=", "path="}},
        {"lower=v\nMiXeD=w", {"LOWER=v", "MIXED=w"}, {"lower=", "MiXeD="}},
        {"", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.environment);
        Outcome outcome = run("system", childCommand("env").c_str(), nullptr, nullptr, c.environment);
        ASSERT_EQ(outcome.code, 0u) << outcome.error;
        const std::vector<std::string> lines = splitLines(outcome.out);
        for (const std::string& line : c.present) EXPECT_TRUE(hasLine(lines, line)) << line;
        for (const std::string& prefix : c.absent) EXPECT_FALSE(hasPrefix(lines, prefix)) << prefix;
        // The caller's own environment, upper-cased, with the home from its profile.
        EXPECT_TRUE(hasLine(lines, "HOMEDRIVE=C:"));
        EXPECT_TRUE(hasPrefix(lines, "HOMEPATH=\\"));
        EXPECT_TRUE(hasPrefix(lines, "PATH="));
    }
}

TEST(Execute, AccountsReachTheServiceAsSids) {
    RunAsServer server;
    const std::string domain = domainSid(), user = userName();
    ASSERT_FALSE(domain.empty());
    std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
    DWORD sidSize = static_cast<DWORD>(sid.size());
    wchar_t domainName[256];
    DWORD domainSize = 256;
    SID_NAME_USE use;
    const std::wstring wideUser(user.begin(), user.end());
    ASSERT_TRUE(LookupAccountNameW(nullptr, wideUser.c_str(), sid.data(), &sidSize, domainName, &domainSize, &use));
    struct { std::string user, sid; } cases[] = {
        {"GUEST", domain + "-501"}, {"guest", domain + "-501"}, {"System", "S-1-5-18"},
        {"SYSTEM", "S-1-5-18"},     {"ROOT", domain + "-500"},  {"Root", domain + "-500"},
    };
    for (const auto& c : cases) {
        Outcome outcome = run(c.user.c_str(), childCommand("exit 0").c_str());
        EXPECT_EQ(outcome.code, 0u) << c.user << ": " << outcome.error;
        ASSERT_FALSE(server.lines("request").empty());
        EXPECT_EQ(server.lines("request").back().substr(0, 12 + c.sid.size() + 1), "request sid=" + c.sid + " ")
            << c.user;
    }
    // Any other name is looked up, in the built-in domain too.
    EXPECT_EQ(run("Administrators", childCommand("exit 0").c_str()).code, 0u);
    EXPECT_EQ(server.lines("request").back().substr(0, 25), "request sid=S-1-5-32-544 ");
    // The user's own name ("root" under Wine as root is the domain's RID 500 above).
    if (user != "root" && user != "guest" && user != "system") {
        EXPECT_EQ(run(user.c_str(), childCommand("exit 0").c_str()).code, 0u);
        EXPECT_EQ(server.lines("request").back().substr(0, 12 + sidString(sid.data()).size()),
                  "request sid=" + sidString(sid.data()));
    }
    Outcome unknown = run("no-such-account-here", childCommand("exit 0").c_str());
    EXPECT_EQ(unknown.code, 0xFFFFFFFFu);
    EXPECT_EQ(unknown.error.rfind("Unable to lookup SID for name no-such-account-here: (1332) ", 0), 0u)
        << unknown.error;
    // The request carries this process and thread, and the word 1 after the handles.
    const std::string expected = " caller=" + std::to_string(GetCurrentProcessId()) + " thread=" +
                                 std::to_string(GetCurrentThreadId()) + " flag=1";
    const std::string last = server.lines("request").front();
    EXPECT_EQ(last.substr(last.size() - expected.size()), expected);
    EXPECT_TRUE(hasPrefix(server.lines("launch"), "launch child="));
    EXPECT_NE(server.lines("launch").front().find(" zero=0 directory= command="), std::string::npos);
}

TEST(Execute, ServiceFailuresAndMissingService) {
    const std::string child = childCommand("out never exit 0");
    struct { const wchar_t* switches; std::string error; } cases[] = {
        {L"--fault error", "Injected failure"},  // the service's own text, literally
        {L"--fault error-final", "Injected failure"},
        {L"--fault length", "Invalid answer from server: (no handle)"},
        {L"--fault zero-status", "Invalid answer from server: ()"},
    };
    for (const auto& c : cases) {
        RunAsServer server(c.switches);
        Outcome outcome = run("system", child.c_str());
        EXPECT_EQ(outcome.code, 0xFFFFFFFFu);
        EXPECT_EQ(outcome.error, c.error) << testutil::narrow(c.switches);
        EXPECT_FALSE(outcome.outputsWritten);
    }
    {
        RunAsServer server;
        Outcome missing = run("system", "C:\\no\\such\\program.exe");
        EXPECT_EQ(missing.code, 0xFFFFFFFFu);
        EXPECT_EQ(missing.error.rfind("Unable to start C:\\no\\such\\program.exe (error ", 0), 0u) << missing.error;
        // The connection survives a failed launch.
        EXPECT_EQ(run("system", childCommand("exit 6").c_str()).code, 6u);
    }
    // No service at all: the connection's own failure.
    Outcome none = run("system", child.c_str());
    EXPECT_EQ(none.code, 0xFFFFFFFFu);
    EXPECT_EQ(none.error, testutil::narrow(testutil::systemText(2) + L" (Error code 2) at Unable to connect to pipe " +
                                           RunTime::runAsPipeName));
}

TEST(Execute, ConnectionIsReplacedWhenTheServiceWent) {
    {
        RunAsServer server;
        EXPECT_EQ(run("system", childCommand("exit 1").c_str()).code, 1u);
        server.start();  // a new service process between two calls
        Outcome again = run("system", childCommand("out back exit 2").c_str());
        EXPECT_EQ(again.code, 2u) << again.error;
        EXPECT_EQ(again.out, "back");
        EXPECT_EQ(server.lines("launch").size(), 2u);  // both service processes log to one file
    }
    RunAsServer closing(L"--close-after 1");  // every connection ends after one launch
    for (unsigned code = 10; code < 14; ++code) {
        Outcome outcome = run("system", childCommand("exit " + std::to_string(code)).c_str());
        EXPECT_EQ(outcome.code, code) << outcome.error;
    }
    EXPECT_EQ(closing.lines("launch").size(), 4u);
}

TEST(Execute, EightThreadsAtOnce) {
    RunAsServer server(L"--delay 20");  // launches overlap the other threads' reading
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&wrong, t] {
            for (int round = 0; round < 3; ++round) {
                const std::string tag = "t" + std::to_string(t) + "r" + std::to_string(round);
                Outcome outcome = run("system", childCommand("out " + tag + " fill 300000 err " + tag +
                                                                 " exit " + std::to_string(t)).c_str());
                wrong += outcome.code != static_cast<unsigned long>(t) || outcome.out.size() != tag.size() + 300000 ||
                         outcome.out.compare(0, tag.size(), tag) != 0 || outcome.err != tag;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(Execute, NullAndEmptyArguments) {
    RunAsServer server;
    const std::string child = childCommand("exit 0");
    struct { const char* user; const char* command; std::string error; } cases[] = {
        {nullptr, child.c_str(), "Invalid argument: user is null"},
        {"system", nullptr, "Invalid argument: command is null"},
        {"system", "", "Unable to start  (error "},  // the service's text
    };
    for (const auto& c : cases) {
        Outcome outcome = run(c.user, c.command);
        EXPECT_EQ(outcome.code, 0xFFFFFFFFu);
        EXPECT_EQ(outcome.error.rfind(c.error, 0), 0u) << outcome.error;
        EXPECT_FALSE(outcome.outputsWritten);
    }
}

// The library linked in: its 3-minute wait shortened for this process only.
TEST(Execute, ChildOutlivingItsPipesIsTerminated) {
    RunAsServer server;
    const std::wstring mutex = uniqueName(L"outliver");
    UniqueHandle held(CreateMutexW(nullptr, FALSE, mutex.c_str()));
    const std::string command = childCommand("hold " + testutil::narrow(mutex) + " close-out close-err sleep 30000");
    execute::setExitWaitForTests(300);
    const auto started = std::chrono::steady_clock::now();
    Outcome outcome = run("system", command.c_str(), nullptr, nullptr, nullptr, &HVC_Execute);
    const auto took = std::chrono::steady_clock::now() - started;
    execute::setExitWaitForTests(180000);
    EXPECT_EQ(outcome.code, 0xFFFFFFFFu);
    EXPECT_EQ(outcome.error, "Unable to execute (" + command + "): (1460) " + testutil::narrow(testutil::systemText(1460)));
    EXPECT_FALSE(outcome.outputsWritten);
    EXPECT_LT(took, std::chrono::seconds(10));
    // The child died holding its mutex, with the exit code 1.
    EXPECT_EQ(WaitForSingleObject(held.get(), 5000), static_cast<DWORD>(WAIT_ABANDONED));
    for (int i = 0; i < 100 && server.lines("exit").empty(); ++i) Sleep(50);
    ASSERT_EQ(server.lines("exit").size(), 1u);
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
    // One fresh overlapped read: what arrives after a way out of the loop.
    std::string next() {
        RunTime::PipeOverlapped own;
        char buffer[64];
        DWORD got = 0;
        if (!ReadFile(read.get(), buffer, sizeof buffer, nullptr, &own.get()) && GetLastError() != ERROR_IO_PENDING)
            return "(failed)";
        if (WaitForSingleObject(own.event(), 5000) != WAIT_OBJECT_0) {
            CancelIoEx(read.get(), &own.get());
            GetOverlappedResult(read.get(), &own.get(), &got, TRUE);
            return "(nothing)";
        }
        return GetOverlappedResult(read.get(), &own.get(), &got, TRUE) ? std::string(buffer, got) : "(failed)";
    }
};

ThreadCancelation::CancellationRegistry& cancellations() { return *getExecuteContext()->cancelationRegistry(); }

}  // namespace

TEST(PipePairs, NamedAfterThreadAndUnique) {
    auto nameOf = [](HANDLE pipe) {
        alignas(FILE_NAME_INFO) char buffer[1024];
        if (!GetFileInformationByHandleEx(pipe, FileNameInfo, buffer, sizeof buffer)) return std::wstring();
        const auto* info = reinterpret_cast<const FILE_NAME_INFO*>(buffer);
        return std::wstring(info->FileName, info->FileNameLength / sizeof(wchar_t));
    };
    PipePair first, second;
    const std::wstring prefix = L"\\OrvexWin32.Pipes." + format(L"%X", static_cast<unsigned>(GetCurrentThreadId()));
    for (const PipePair* pair : {&first, &second}) {
        const std::wstring name = nameOf(pair->read.get());
        EXPECT_EQ(name.compare(0, prefix.size(), prefix), 0) << testutil::narrow(name);
        EXPECT_EQ(name.find_first_not_of(L"0123456789ABCDEF", prefix.size()), std::wstring::npos);
    }
    EXPECT_NE(nameOf(first.read.get()), nameOf(second.read.get()));
    // Connected: what goes in at the write end comes out at the read end.
    first.put("through");
    EXPECT_EQ(first.next(), "through");
}

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
    cancellations().setTracking(true);
    enum Way { Stop, Timeout, Cancel };
    for (Way way : {Stop, Timeout, Cancel}) {
        SCOPED_TRACE(way);
        PipePair outPipe, errPipe;
        outPipe.put("early");
        UniqueHandle stop(CreateEventW(nullptr, TRUE, TRUE, nullptr));  // reset by the loop at its start
        std::atomic<int> result{-1};
        std::atomic<DWORD> threadId{0};
        UniqueHandle finish(CreateEventW(nullptr, TRUE, FALSE, nullptr));
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
            // The thread lives on: its end would cancel its reads in flight by itself.
            WaitForSingleObject(finish.get(), 10000);
        });
        Sleep(200);
        if (way == Stop) SetEvent(stop.get());
        if (way == Cancel) {
            for (int i = 0; i < 100 && !cancellations().cancel(threadId); ++i) Sleep(10);
        }
        for (int i = 0; i < 500 && result < 0; ++i) Sleep(10);
        EXPECT_EQ(result.load(), way == Cancel ? 2 : 0);
        if (way != Cancel) {
            EXPECT_EQ(kept, "early");
        }
        outPipe.put("late");
        errPipe.put("later");
        EXPECT_EQ(outPipe.next(), "late");
        EXPECT_EQ(errPipe.next(), "later");
        SetEvent(finish.get());
        reader.join();
    }
}

namespace {

// This process's standard output and error go to pipes for the life of the object.
class CapturedStreams {
public:
    CapturedStreams() : saved_{GetStdHandle(STD_OUTPUT_HANDLE), GetStdHandle(STD_ERROR_HANDLE)} {
        for (int i = 0; i < 2; ++i) CreatePipe(read_[i].put(), write_[i].put(), nullptr, 65536);
        SetStdHandle(STD_OUTPUT_HANDLE, write_[0].get());
        SetStdHandle(STD_ERROR_HANDLE, write_[1].get());
    }
    ~CapturedStreams() { restore(); }
    void restore() {
        SetStdHandle(STD_OUTPUT_HANDLE, saved_[0]);
        SetStdHandle(STD_ERROR_HANDLE, saved_[1]);
    }
    // What arrived on stream i (0 output, 1 error) once its writer is closed.
    std::string taken(int i) {
        write_[i].reset();
        std::string all;
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(read_[i].get(), buffer, sizeof buffer, &got, nullptr) && got > 0) all.append(buffer, got);
        return all;
    }

private:
    HANDLE saved_[2];
    UniqueHandle read_[2], write_[2];
};

}  // namespace

TEST(ForwardPipes, ChunksGoToThisProcessesStreams) {
    PipePair outPipe, errPipe;
    outPipe.put("to stdout");
    errPipe.put(std::string(3000, 'e'));
    outPipe.write.reset();
    errPipe.write.reset();
    CapturedStreams captured;
    const bool ended = RunTime::forwardPipes(outPipe.read.get(), outPipe.overlapped.get(), errPipe.read.get(),
                                             errPipe.overlapped.get(), nullptr, INFINITE);
    captured.restore();
    EXPECT_TRUE(ended);
    EXPECT_EQ(captured.taken(0), "to stdout");
    EXPECT_EQ(captured.taken(1), std::string(3000, 'e'));
}

TEST(InputThread, DestructorEndsAThreadStuckInItsWrite) {
    UniqueHandle thread;
    {
        RunTime::SIDClient pipes;
        ASSERT_TRUE(CreatePipe(pipes.stdinRead.put(), pipes.stdinWrite.put(), nullptr, 4096));
        pipes.setInput(std::string(1 << 20, 'w'));  // nobody reads: the write blocks
        pipes.startInputThread();
        HANDLE copy = nullptr;
        ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), pipes.inputThread.get(), GetCurrentProcess(), &copy,
                                    SYNCHRONIZE, FALSE, 0));
        thread.reset(copy);
        Sleep(100);
        EXPECT_EQ(WaitForSingleObject(thread.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    }
    EXPECT_EQ(WaitForSingleObject(thread.get(), 2000), WAIT_OBJECT_0);
    // A failed write reaches the caller through finishInput.
    RunTime::SIDClient pipes;
    ASSERT_TRUE(CreatePipe(pipes.stdinRead.put(), pipes.stdinWrite.put(), nullptr, 4096));
    pipes.stdinRead.reset();  // the reader has gone
    pipes.setInput("input");
    pipes.startInputThread();
    try {
        pipes.finishInput();
        ADD_FAILURE() << "the failed write was not reported";
    } catch (const vexception& e) {
        EXPECT_EQ(testutil::narrow(e.message()).rfind("Can't write to std in of process: (", 0), 0u);
        EXPECT_EQ(e.locations().back().context, L"Thread fatal error (SIDClient::stdinThread)");
        EXPECT_EQ(e.locations().back().function, "RunTime::SIDClient::stdinThread");
    }
}

// ---- the user environment

TEST(UserEnvironment, HomeFromAPath) {
    struct { const wchar_t* path; const wchar_t* drive; const wchar_t* directory; } cases[] = {
        {L"C:\\Users\\bob\\", L"C:", L"\\Users\\bob"},
        {L"C:/Users/bob", L"C:", L"\\Users\\bob"},
        {L"C:\\Users\\bob\\.", L"C:", L"\\Users\\bob"},
        {L"C:\\", L"C:", L""},
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

TEST(UserEnvironment, VariablesAndBlock) {
    UserEnvironment environment;
    EXPECT_EQ(environment.toBlock(), std::wstring(1, L'\0'));
    const wchar_t list[] = L"b=1\0Path=x\0=C:=C:\\dir\0=D:=D:\\\0NOVALUE\0a=2\0path=y\0\0ignored=1\0";
    environment.addVariables(std::wstring(list, sizeof list / sizeof list[0] - 1));
    const wchar_t block[] = L"=D:=D:\\\0A=2\0B=1\0NOVALUE=\0PATH=y\0";  // ordinal order of the upper-cased names
    EXPECT_EQ(environment.toBlock(), std::wstring(block, sizeof block / sizeof block[0]));
    // The caller's environment comes with its names upper-cased and its home.
    UserEnvironment own(nullptr);
    EXPECT_EQ(own.variables().count(L"PATH"), 1u);
    EXPECT_EQ(own.variables().at(L"HOMEDRIVE"), L"C:");
    for (const auto& variable : own.variables()) EXPECT_EQ(variable.first, UserEnvironment::upcase(variable.first));
}
