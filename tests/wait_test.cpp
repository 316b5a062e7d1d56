#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "runtime/owners.h"
#include "runtime/exceptions.h"
#include "runtime/wait.h"

namespace {

double msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Never a handle value: a closed handle's value is soon given out again
// (the waits duplicate the thread's handle).
const HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x3FFFFFF0));

std::atomic<bool> apcRan{false};
void CALLBACK noteApc(ULONG_PTR) { apcRan = true; }

}  // namespace

TEST(Wait, Results) {
    UniqueHandle owned(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HANDLE event = owned.get();
    HANDLE invalid[2] = {event, bogus};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(VSyncObject::waitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_LT(msSince(start), 500.0);  // no real wait, even on an emulated machine
    // The multiple-object wait hands the failure back with its last error.
    EXPECT_EQ(VSyncObject::waitForMultipleObjects(2, invalid, true, 100), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Wait, FailedSingleWaitThrows) {
    try {
        VSyncObject::waitForSingleObject(bogus, 100);
        ADD_FAILURE() << "no exception";
    } catch (const vosexception& e) {
        EXPECT_EQ(e.message(), formatOSError(ERROR_INVALID_HANDLE, L"Wait for single object"));
        ASSERT_EQ(e.locations().size(), 1u);
        EXPECT_EQ(e.locations()[0].function, "VSyncObject::waitForSingleObject");
    }
}

TEST(Wait, ForeignApcOnlyResumesWithTheTimeLeft) {
    UniqueHandle first(CreateEventW(nullptr, TRUE, FALSE, nullptr)), second(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle thread(OpenThread(THREAD_SET_CONTEXT, FALSE, GetCurrentThreadId()));
    HANDLE events[2] = {first.get(), second.get()};
    HANDLE self = thread.get();
    std::pair<std::function<DWORD()>, DWORD> cases[] = {
        {[&] { return VSyncObject::waitForSingleObject(events[0], 600); }, WAIT_TIMEOUT},
        {[&] { return VSyncObject::waitForMultipleObjects(2, events, false, 600); }, WAIT_TIMEOUT},
        {[] { VSyncObject::sleep(600); return DWORD(0); }, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        apcRan = false;
        auto start = std::chrono::steady_clock::now();
        std::thread interrupter([self] { Sleep(200), QueueUserAPC(noteApc, self, 0); });
        EXPECT_EQ(c.first(), c.second);
        // A restart with the whole timeout would end near 800 ms, an early return near 200 ms.
        double elapsed = msSince(start);
        EXPECT_TRUE(elapsed >= 595 && elapsed < 790) << elapsed;
        EXPECT_TRUE(apcRan);
        interrupter.join();
        SleepEx(0, TRUE);  // an APC that came too late runs here, not in the next case
    }
}
