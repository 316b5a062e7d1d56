// The Con pipe classes against real pipes: an anonymous pipe for the
// synchronous class, a message-mode named pipe served by the test itself
// for the overlapped ones.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <functional>

#include "childprocess.h"
#include "ipc/pipe.h"
#include "runtime/exceptions.h"
#include "standin.h"
#include "testutil.h"

namespace {

const DWORD pipeAccess = 0xC0000003;

using testutil::failureOf;

// A one-instance message-mode pipe served by the test, with our client on it.
struct PipePair {
    std::wstring name = standin::uniquePipe();
    UniqueHandle serverEnd{CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE,
                                            1, 4096, 4096, 0, nullptr)};
    HANDLE server = serverEnd.get();
    Con::ClientOverlappedPipe client{name, pipeAccess, PIPE_READMODE_MESSAGE, 2};
};

}  // namespace

TEST(ConPipe, SynchronousReadWriteAndEnd) {
    UniqueHandle readEnd, writeEnd;
    ASSERT_TRUE(CreatePipe(readEnd.put(), writeEnd.put(), nullptr, 0));
    Con::Pipe reader(readEnd.release()), writer(writeEnd.release());
    char buffer[8] = {};
    writer.write("abc", 3, true);
    vexception shortRead = failureOf([&] { reader.read(buffer, 4, true); });
    EXPECT_EQ(shortRead.message(), L"Completed only 3 of 4 bytes");  // count read first
    EXPECT_EQ(shortRead.locations()[0].function, "Con::Pipe::read");
    // The writer goes: reading ends quietly, and stays ended.
    writer.close();
    EXPECT_EQ(reader.read(buffer, 4, true), 0u);
    EXPECT_TRUE(reader.finished());
    EXPECT_EQ(reader.read(buffer, 4, true), 0u);
    // A handle that is no pipe at all is a system error, not an end.
    vexception invalid = failureOf([&] { Con::Pipe(nullptr).read(buffer, 1, false); });
    EXPECT_NE(invalid.message().find(L") at Unable to read from pipe"), std::wstring::npos);
}

TEST(ConOverlappedPipe, BeginAndComplete) {
    PipePair pair;
    Con::OverlappedPipe& pipe = pair.client;
    UniqueHandle cancelEvent(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    HANDLE cancel = cancelEvent.get();
    char buffer[8] = {};
    EXPECT_EQ(failureOf([&] { pipe.complete(nullptr, 0, false); }).message(), L"Previous request has completed!");
    EXPECT_EQ(pipe.beginRead(buffer, 5, false), 0u);
    EXPECT_EQ(failureOf([&] { pipe.beginRead(buffer, 5, false); }).message(), L"Previous request has not completed!");
    EXPECT_EQ(failureOf([&] { pipe.beginWrite("x", 1, false); }).message(), L"Previous request has not completed!");
    // A 0 ms timeout, then the cancel event, end a pending read.
    EXPECT_EQ(pipe.complete(nullptr, 0, false), 0u);
    EXPECT_TRUE(pipe.idle());
    EXPECT_EQ(pipe.beginRead(buffer, 5, false), 0u);
    EXPECT_EQ(pipe.complete(cancel, INFINITE, false), 0u);
    EXPECT_TRUE(pipe.idle());
    // The cancelled reads took nothing: the next message arrives whole.
    DWORD written = 0;
    WriteFile(pair.server, "hello", 5, &written, nullptr);
    EXPECT_EQ(pipe.read(buffer, 5, true), 5u);
    EXPECT_EQ(std::string(buffer, 5), "hello");
}

TEST(ConClientOverlappedPipe, BusyServerIsRetriedUpToTheAttemptCount) {
    childprocess::SavedConfigValue tryCount(L"PipeConnectTryCount");
    tryCount.remove();
    PipePair pair;  // occupies the only instance
    for (int attempts : {1, 2}) {
        auto start = std::chrono::steady_clock::now();
        vexception busy =
            failureOf([&] { Con::ClientOverlappedPipe(pair.name, pipeAccess, PIPE_READMODE_MESSAGE, attempts); });
        auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        EXPECT_EQ(busy.message(), L"Unable to connect to pipe " + pair.name) << attempts;  // no system error
        // Up to one second of waiting per attempt.
        EXPECT_GE(elapsed.count(), attempts * 1000 - 100) << attempts;
        EXPECT_LT(elapsed.count(), attempts * 1000 + 4000) << attempts;  // generous: a loaded machine
    }
}

TEST(PipeRetryCount, ConfigurationValueIsReadEverySixteenCalls) {
    childprocess::SavedConfigValue tryCount(L"PipeConnectTryCount");
    tryCount.remove();
    Con::PipeRetryCount count;
    // Sixteen calls: the first reads the value; the rest answer from the
    // cache although the value changes under them.
    auto sixteenCalls = [&](const std::function<void()>& change) {
        int first = count.get(5);
        change();
        for (int i = 1; i < 16; ++i) EXPECT_EQ(count.get(5), first);
        return first;
    };
    EXPECT_EQ(sixteenCalls([&] { tryCount.set(3); }), 5);  // absent: the caller's count
    EXPECT_EQ(sixteenCalls([&] { tryCount.set(0); }), 3);
    EXPECT_EQ(sixteenCalls([&] { tryCount.set(4); }), 5);  // 0: the caller's count
    EXPECT_EQ(sixteenCalls([&] { tryCount.set(L"9"); }), 4);
    EXPECT_EQ(sixteenCalls([&] { tryCount.set(6); }), 4);  // a failed reading keeps the count...
    EXPECT_EQ(sixteenCalls([] {}), 4);                     // ... and stops reading for good
}

TEST(PipeServer, TrustedAsLocalSystemOrAsTheConfiguredImage) {
    struct { bool system; const wchar_t *image, *configured; bool trusted; } cases[] = {
        {true, L"C:\\x\\squat.exe", L"C:\\svc\\orvex.exe", true},
        {false, L"C:\\svc\\orvex.exe", L"c:\\SVC\\Orvex.EXE", true},
        {false, L"C:\\x\\squat.exe", L"C:\\svc\\orvex.exe", false},
        {false, L"C:\\svc\\orvex.exe.x", L"C:\\svc\\orvex.exe", false},
        {false, L"", L"", false},  // nothing configured, image unknown
        {false, L"C:\\svc\\orvex.exe", L"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Con::trustedServer(c.system, c.image, c.configured), c.trusted) << testutil::narrow(c.image);
}
