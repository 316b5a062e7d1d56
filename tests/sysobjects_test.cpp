#include <gtest/gtest.h>
#include <windows.h>

#include "childprocess.h"
#include "runtime/owners.h"
#include "runtime/sysobjects.h"

// What a helper process's ExclusiveTask makes of the mutex: "result timedOut".
static std::string takeInChild(const std::wstring& mutex) { return childprocess::run({L"take", mutex}).output; }

TEST(VHandleTest, CopiesDuplicateAndCloseIndependently) {
    VHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr)), empty;
    {
        VHandle copy(event);
        SetEvent(copy.get());  // the same kernel object
    }  // closes the copy only
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
    EXPECT_FALSE(VHandle(empty).valid());
}

TEST(VDateTimeTest, ComparesFieldsInOrderIgnoringDayOfWeek) {
    const SYSTEMTIME base = {2024, 6, 3, 15, 12, 30, 30, 500};
    WORD SYSTEMTIME::*const fields[] = {&SYSTEMTIME::wYear, &SYSTEMTIME::wMonth, &SYSTEMTIME::wDay, &SYSTEMTIME::wHour,
        &SYSTEMTIME::wMinute, &SYSTEMTIME::wSecond, &SYSTEMTIME::wMilliseconds, &SYSTEMTIME::wDayOfWeek};
    for (int i = 0; i < 8; ++i) {
        // One field later, every field after it earlier: the earlier field decides.
        SYSTEMTIME other = base;
        ++(other.*fields[i]);
        for (int j = i + 1; j < 8; ++j) --(other.*fields[j]);
        const int expected = i == 7 ? 0 : 1;  // the day of week alone
        EXPECT_EQ(VDateTime(other).compare(VDateTime(base)), expected) << i;
        EXPECT_EQ(VDateTime(base).compare(VDateTime(other)), -expected) << i;
    }
}

TEST(ExclusiveTaskTest, HeldByAnotherProcessTimesOut) {
    const std::wstring name = L"hvctest-held-" + std::to_wstring(GetCurrentProcessId());
    UniqueHandle keep(CreateMutexW(nullptr, FALSE, name.c_str()));  // without it the last close would reset the mutex
    {
        ExclusiveTask task;
        ASSERT_EQ(task.Initialize(name, 0), WAIT_OBJECT_0);
        EXPECT_EQ(takeInChild(name), "258 1");
    }
    EXPECT_EQ(takeInChild(name), "0 0");  // released by the destructor
}

TEST(ExclusiveTaskTest, AbandonedCountsAsAcquired) {
    const std::wstring name = L"hvctest-abandoned-" + std::to_wstring(GetCurrentProcessId());
    UniqueHandle keep(CreateMutexW(nullptr, FALSE, name.c_str()));  // outlives the child
    EXPECT_EQ(takeInChild(name), "0 0");
    ExclusiveTask task;
    EXPECT_EQ(task.Initialize(name, 0), static_cast<DWORD>(WAIT_ABANDONED));
    EXPECT_FALSE(task.timedOut());
}
