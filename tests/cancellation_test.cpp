#include <gtest/gtest.h>

#include <process.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "runtime/executecontext.h"
#include "runtime/exportframe.h"
#include "runtime/cancellation.h"
#include "runtime/owners.h"
#include "runtime/exceptions.h"
#include "childprocess.h"
#include "exports/hvcdmtutils.h"
#include "ipc/pipe.h"
#include "standin.h"
#include "testutil.h"
#include "runtime/wait.h"

using namespace ThreadCancelation;

namespace {

CancellationRegistry& cancellations() { return *getExecuteContext()->cancelationRegistry(); }

// A thread as a host would run one: its top catches the cancellation.
struct Worker {
    std::function<void()> body;
    std::atomic<DWORD> canceledId{0};
    unsigned id = 0;
    UniqueHandle thread{reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, top, this, 0, &id))};

    static unsigned __stdcall top(void* argument) {
        auto* self = static_cast<Worker*>(argument);
        try {
            self->body();
        } catch (const ThreadCanceledException& e) {
            self->canceledId = e.threadId;
        }
        return 0;
    }
};

// The worker's innermost tracked point once it satisfies `ready`, or null.
CancelationPoint* awaitPoint(DWORD threadId, bool (*ready)(CancelationPoint*)) {
    // Generous for emulated machines: it returns as soon as the point is there.
    for (const ULONGLONG end = GetTickCount64() + 20000; GetTickCount64() < end; Sleep(5)) {
        CancelationPoint* point = cancellations().find(threadId);
        if (point && ready(point)) return point;
    }
    return nullptr;
}

void CALLBACK foreignApc(ULONG_PTR) {}

}  // namespace

TEST(Cancellation, AsyncCancelEndsTheWaitAtOnceAndUnwinds) {
    cancellations().setTracking(true);
    UniqueHandle neverSet(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HANDLE never = neverSet.get();
    std::function<void()> waits[] = {[] { VSyncObject::sleep(10000); },
                                     [never] { VSyncObject::waitForSingleObject(never, INFINITE); }};
    for (const auto& wait : waits) {
        SCOPED_TRACE(&wait - waits);
        std::atomic<bool> destroyed{false}, afterWait{false};
        Worker worker{[&] {
            std::shared_ptr<void> recorder(nullptr, [&](void*) { destroyed = true; });  // notes the unwinding
            wait();
            afterWait = true;
        }};
        ASSERT_NE(awaitPoint(worker.id, [](CancelationPoint* p) { return p->mode() == Asynchronous; }), nullptr);
        ASSERT_TRUE(cancellations().cancel(worker.id));
        ASSERT_EQ(WaitForSingleObject(worker.thread.get(), 2000), WAIT_OBJECT_0);  // far before the wait's end
        EXPECT_EQ(worker.canceledId, worker.id);
        EXPECT_TRUE(destroyed);
        EXPECT_FALSE(afterWait);
    }
}

TEST(Cancellation, DeferredCancelLetsTheOperationFinish) {
    cancellations().setTracking(true);
    UniqueHandle goEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HANDLE go = goEvent.get();
    std::atomic<bool> destroyed{false}, afterPoint{false};
    Worker worker{[&] {
        {
            CancelationPoint point(Deferred);
            std::shared_ptr<void> recorder(nullptr, [&](void*) { destroyed = true; });  // notes the unwinding
            WaitForSingleObject(go, 5000);
        }
        afterPoint = true;
    }};
    ASSERT_NE(awaitPoint(worker.id, [](CancelationPoint* p) { return p->mode() == Deferred; }), nullptr);
    ASSERT_TRUE(cancellations().cancel(worker.id));
    EXPECT_EQ(WaitForSingleObject(worker.thread.get(), 200), static_cast<DWORD>(WAIT_TIMEOUT));  // still in its operation
    SetEvent(go);
    ASSERT_EQ(WaitForSingleObject(worker.thread.get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(worker.canceledId, worker.id);
    EXPECT_TRUE(destroyed);
    EXPECT_FALSE(afterPoint);
}

TEST(Cancellation, PointUnderProtectedIsNeverCanceledAsynchronously) {
    cancellations().setTracking(true);
    DWORD start = GetTickCount();
    Worker worker{[&] {
        CancelationPoint host(Protected);
        VSyncObject::sleep(600);
    }};
    // The sleep's own point, nested in the host's, inherits its mode.
    ASSERT_NE(awaitPoint(worker.id, [](CancelationPoint* p) { return p->previous() && p->mode() == Protected; }),
              nullptr);
    ASSERT_TRUE(cancellations().cancel(worker.id));
    // An APC of someone else's wakes the sleep, which must go on nonetheless.
    QueueUserAPC(foreignApc, worker.thread.get(), 0);
    ASSERT_EQ(WaitForSingleObject(worker.thread.get(), 5000), WAIT_OBJECT_0);
    EXPECT_GE(GetTickCount() - start, 590u);  // the sleep ran to its end
    EXPECT_EQ(worker.canceledId, worker.id);
}

TEST(Cancellation, TrackingRecordsTheInnermostPoint) {
    const DWORD self = GetCurrentThreadId();
    for (bool on : {false, true}) {
        SCOPED_TRACE(on);
        cancellations().setTracking(on);
        {
            CancelationPoint outer(Deferred);
            {
                CancelationPoint inner(Asynchronous);
                EXPECT_EQ(cancellations().find(self), on ? &inner : nullptr);
            }
            EXPECT_EQ(cancellations().find(self), on ? &outer : nullptr);
        }
        EXPECT_EQ(CancelationPoint::current(), nullptr);
        EXPECT_EQ(cancellations().find(self), nullptr);
        EXPECT_FALSE(cancellations().cancel(self));
    }
}

TEST(Cancellation, CatchPointsLetTheCancellationPass) {
    try {
        throw ThreadCanceledException{2};
    } catch (...) {
        EXPECT_THROW(VCURRENT_EXCEPTION(L"context", "test"), ThreadCanceledException);
        exportframe::setLastError("stale");
        EXPECT_FALSE(exportframe::storeCurrentException());  // no failure text
        EXPECT_STREQ(exportframe::lastError(), "stale");
    }
}

namespace {

// A plain thread, as an MSVC host would run one: it catches nothing, so an
// exception leaving the library would end the whole process.
struct HostThread {
    std::function<void()> body;
    std::atomic<bool> returned{false};
    unsigned id = 0;
    UniqueHandle thread{reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, top, this, 0, &id))};

    static unsigned __stdcall top(void* argument) {
        auto* self = static_cast<HostThread*>(argument);
        self->body();
        self->returned = true;
        return 7;
    }
    DWORD exitCode() const {
        DWORD code = 0xFFFFFFFF;
        GetExitCodeThread(thread.get(), &code);
        return code;
    }
};


}  // namespace

TEST(Cancellation, BoundaryEndsTheThreadInsteadOfLettingTheCancellationOut) {
    exportframe::setLastError("stale");
    HostThread host{[] {
        exportframe::boundary(-1, exportframe::OnSuccess::ClearSlot, []() -> int { throw ThreadCanceledException{1}; });
    }};
    ASSERT_EQ(WaitForSingleObject(host.thread.get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(host.exitCode(), 0u);
    EXPECT_FALSE(host.returned);
    EXPECT_EQ(exportframe::lastError(), nullptr);  // cleared at entry, no failure text after
}

#if defined(__i386__)
std::atomic<int> hostFramesUnwound{0};

// The host's own structured-exception frame: the thread's end must unwind it.
EXCEPTION_DISPOSITION __cdecl hostFrameHandler(EXCEPTION_RECORD* record, void*, CONTEXT*, void*) {
    if (record->ExceptionFlags & EXCEPTION_UNWINDING) ++hostFramesUnwound;
    return ExceptionContinueSearch;
}
#endif

// A host thread blocked in an export on a busy management service is
// cancelled: it ends inside the library with exit code 0 (on i686 with the
// host's structured-exception frames unwound), the process goes on, and
// nothing of the call stays behind.
TEST(Cancellation, ThreadBlockedInAnExportEnds) {
    childprocess::SavedConfigValue tryCount(L"PipeConnectTryCount");
    tryCount.remove();
    auto getParam = testutil::exportOf<HVC_GetParam_t>(HVC_NAME_GetParam);
    auto freeString = testutil::exportOf<HVC_FreeString_t>(HVC_NAME_FreeString);
    ASSERT_TRUE(getParam && freeString);
    freeString(getParam("WARM"));  // no service yet: fails at once, but sets up what stays
    cancellations().setTracking(true);
    standin::Server::Options options;
    options.switches = L"--busy 30000";  // the only pipe instance stays taken
    standin::Server server(options);
    const DWORD before = testutil::openHandleCount();
    {
        HostThread host{[&] {
#if defined(__i386__)
            EXCEPTION_REGISTRATION_RECORD frame{};
            NT_TIB* tib = nullptr;
            __asm__ volatile("movl %%fs:0x18, %0" : "=r"(tib));  // NtCurrentTeb() trips -Warray-bounds
            frame.Next = tib->ExceptionList;
            frame.Handler = reinterpret_cast<PEXCEPTION_ROUTINE>(hostFrameHandler);
            tib->ExceptionList = &frame;
            freeString(getParam("ALPHA"));
            tib->ExceptionList = frame.Next;
#else
            freeString(getParam("ALPHA"));
#endif
        }};
        ASSERT_NE(awaitPoint(host.id, [](CancelationPoint*) { return true; }), nullptr);
        ASSERT_TRUE(cancellations().cancel(host.id));
        // Had the call ended by itself (five connection attempts of a second
        // each) the thread would have returned, with exit code 7.
        ASSERT_EQ(WaitForSingleObject(host.thread.get(), 20000), WAIT_OBJECT_0);
        EXPECT_EQ(host.exitCode(), 0u);
        EXPECT_FALSE(host.returned);
#if defined(__i386__)
        EXPECT_EQ(hostFramesUnwound, 1);
#endif
    }
    EXPECT_EQ(cancellations().find(GetCurrentThreadId()), nullptr);
    EXPECT_EQ(testutil::openHandleCount(), before);
}

// A thread's handle for cancel APCs is duplicated at its first wait and kept:
// later waits reuse it, a later wait is still cancelled at once, and the
// handle is closed when the thread ends.
TEST(Cancellation, ThreadHandleIsKeptAcrossWaitsAndReleasedWithTheThread) {
    cancellations().setTracking(true);
    UniqueHandle neverSet(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle readySet(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HANDLE never = neverSet.get(), ready = readySet.get();
    std::atomic<HANDLE> beforeFirst{nullptr}, afterFirst{nullptr}, afterMany{nullptr};
    std::atomic<DWORD> keptThreadId{0};
    std::atomic<bool> afterWait{false};
    Worker worker{[&] {
        beforeFirst = keptThreadHandle();
        VSyncObject::sleep(0);
        afterFirst = keptThreadHandle();
        keptThreadId = GetThreadId(afterFirst);
        for (int i = 0; i < 50; ++i) VSyncObject::waitForSingleObject(never, 0);
        afterMany = keptThreadHandle();
        SetEvent(ready);
        VSyncObject::waitForSingleObject(never, INFINITE);
        afterWait = true;
    }};
    ASSERT_EQ(WaitForSingleObject(ready, 5000), WAIT_OBJECT_0);
    ASSERT_NE(awaitPoint(worker.id, [](CancelationPoint* p) { return p->mode() == Asynchronous; }), nullptr);
    ASSERT_TRUE(cancellations().cancel(worker.id));
    ASSERT_EQ(WaitForSingleObject(worker.thread.get(), 2000), WAIT_OBJECT_0);
    EXPECT_EQ(worker.canceledId, worker.id);
    EXPECT_FALSE(afterWait);
    EXPECT_EQ(beforeFirst, nullptr);
    ASSERT_NE(afterFirst, nullptr);
    EXPECT_EQ(keptThreadId, worker.id);  // the worker's own thread
    EXPECT_EQ(afterMany, afterFirst);    // reused by every later wait
    // Closed with the thread: the value is invalid now, or already reused
    // for another object.
    DWORD flags = 0;
    if (GetHandleInformation(afterFirst, &flags)) {
        EXPECT_NE(GetThreadId(afterFirst), worker.id);
    }
}

// A read cancelled in its wait is stopped and awaited before the unwinding
// frees the buffer: the pipe is idle afterwards and the next message
// arrives whole.
TEST(Cancellation, CanceledReadLeavesNoPendingTransfer) {
    cancellations().setTracking(true);
    const std::wstring name = standin::uniquePipe();
    UniqueHandle server(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1,
                                         4096, 4096, 0, nullptr));
    Con::ClientOverlappedPipe pipe(name, GENERIC_READ | GENERIC_WRITE, PIPE_READMODE_MESSAGE, 1);
    Worker worker{[&] {
        char buffer[8];  // on the cancelled thread's stack
        pipe.read(buffer, 5, true);
    }};
    ASSERT_NE(awaitPoint(worker.id, [](CancelationPoint* p) { return p->mode() == Asynchronous; }), nullptr);
    ASSERT_TRUE(cancellations().cancel(worker.id));
    ASSERT_EQ(WaitForSingleObject(worker.thread.get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(worker.canceledId, worker.id);
    EXPECT_TRUE(pipe.idle());
    DWORD written = 0;
    WriteFile(server.get(), "hello", 5, &written, nullptr);
    char buffer[8] = {};
    EXPECT_EQ(pipe.read(buffer, 5, true), 5u);
    EXPECT_EQ(std::string(buffer, 5), "hello");
}

// A request that reaches the outermost point while a failure unwinds it is
// kept for the thread's next point.
TEST(Cancellation, RequestDuringAFailureWaitsForTheNextPoint) {
    cancellations().setTracking(true);
    UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<bool> failureCaught{false}, afterNextPoint{false};
    Worker worker{[&] {
        try {
            CancelationPoint outermost(Deferred);
            WaitForSingleObject(go.get(), 5000);
            throw std::runtime_error("failure");
        } catch (const std::runtime_error&) {
            failureCaught = true;
        }
        { CancelationPoint next(Deferred); }
        afterNextPoint = true;
    }};
    ASSERT_NE(awaitPoint(worker.id, [](CancelationPoint* p) { return p->mode() == Deferred; }), nullptr);
    ASSERT_TRUE(cancellations().cancel(worker.id));
    SetEvent(go.get());
    ASSERT_EQ(WaitForSingleObject(worker.thread.get(), 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(failureCaught);
    EXPECT_EQ(worker.canceledId, worker.id);
    EXPECT_FALSE(afterNextPoint);
}

// The registry is created once per process however many threads ask for it
// first at the same moment (fresh processes, several rounds).
TEST(Cancellation, RegistryIsCreatedOnceUnderRacingThreads) {
    for (int round = 0; round < 10; ++round) {
        childprocess::Result result = childprocess::run({L"registry-race", L"8"});
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_EQ(result.output, "one registry") << round;
    }
}
