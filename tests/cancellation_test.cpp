#include <gtest/gtest.h>

#include <process.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>

#include "runtime/executecontext.h"
#include "runtime/exportframe.h"
#include "runtime/cancellation.h"
#include "runtime/owners.h"
#include "runtime/exceptions.h"
#include "runtime/wait.h"

using namespace ThreadCancelation;

namespace {

CancellationRegistry& registry() { return *getExecuteContext()->cancelationRegistry(); }

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
    for (int i = 0; i < 400; ++i, Sleep(5)) {
        CancelationPoint* point = registry().find(threadId);
        if (point && ready(point)) return point;
    }
    return nullptr;
}

}  // namespace

TEST(Cancellation, AsyncCancelEndsTheWaitAtOnceAndUnwinds) {
    registry().setTracking(true);
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
        ASSERT_TRUE(registry().cancel(worker.id));
        ASSERT_EQ(WaitForSingleObject(worker.thread.get(), 2000), WAIT_OBJECT_0);  // far before the wait's end
        EXPECT_EQ(worker.canceledId, worker.id);
        EXPECT_TRUE(destroyed);
        EXPECT_FALSE(afterWait);
    }
}

TEST(Cancellation, DeferredCancelLetsTheOperationFinish) {
    registry().setTracking(true);
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
    ASSERT_TRUE(registry().cancel(worker.id));
    EXPECT_EQ(WaitForSingleObject(worker.thread.get(), 200), static_cast<DWORD>(WAIT_TIMEOUT));  // still in its operation
    SetEvent(go);
    ASSERT_EQ(WaitForSingleObject(worker.thread.get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(worker.canceledId, worker.id);
    EXPECT_TRUE(destroyed);
    EXPECT_FALSE(afterPoint);
}

TEST(Cancellation, PointUnderProtectedIsNeverCanceledAsynchronously) {
    registry().setTracking(true);
    DWORD start = GetTickCount();
    Worker worker{[&] {
        CancelationPoint host(Protected);
        VSyncObject::sleep(300);
    }};
    // The sleep's own point, nested in the host's, inherits its mode.
    ASSERT_NE(awaitPoint(worker.id, [](CancelationPoint* p) { return p->previous() && p->mode() == Protected; }),
              nullptr);
    ASSERT_TRUE(registry().cancel(worker.id));
    ASSERT_EQ(WaitForSingleObject(worker.thread.get(), 5000), WAIT_OBJECT_0);
    EXPECT_GE(GetTickCount() - start, 290u);  // the sleep ran to its end
    EXPECT_EQ(worker.canceledId, worker.id);
}

TEST(Cancellation, TrackingRecordsTheInnermostPoint) {
    const DWORD self = GetCurrentThreadId();
    for (bool on : {false, true}) {
        SCOPED_TRACE(on);
        registry().setTracking(on);
        {
            CancelationPoint outer(Deferred);
            {
                CancelationPoint inner(Asynchronous);
                EXPECT_EQ(registry().find(self), on ? &inner : nullptr);
            }
            EXPECT_EQ(registry().find(self), on ? &outer : nullptr);
        }
        EXPECT_EQ(CancelationPoint::current(), nullptr);
        EXPECT_EQ(registry().find(self), nullptr);
        EXPECT_FALSE(registry().cancel(self));
    }
}

TEST(Cancellation, CatchPointsLetTheCancellationPass) {
    exportframe::setLastError("stale");
    EXPECT_THROW(exportframe::boundary(-1, exportframe::OnSuccess::ClearSlot, []() -> int { throw ThreadCanceledException{1}; }),
                 ThreadCanceledException);
    EXPECT_EQ(exportframe::lastError(), nullptr);
    try {
        throw ThreadCanceledException{2};
    } catch (...) {
        EXPECT_THROW(VCURRENT_EXCEPTION(L"context", "test"), ThreadCanceledException);
        EXPECT_THROW(exportframe::storeCurrentException(), ThreadCanceledException);
    }
}
