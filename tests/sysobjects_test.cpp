#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

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

TEST(ExclusiveTaskTest, NewMutexIsOpenToSystemAdministratorsAndItsUserOnly) {
    const std::wstring name = L"hvctest-secured-" + std::to_wstring(GetCurrentProcessId());
    ExclusiveTask task;
    ASSERT_EQ(task.Initialize(name, 0), WAIT_OBJECT_0);
    UniqueHandle mutex(OpenMutexW(READ_CONTROL, FALSE, name.c_str()));
    PACL dacl = nullptr;
    UniqueLocalPtr<void> descriptor;
    ASSERT_EQ(GetSecurityInfo(mutex.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, descriptor.put()), static_cast<DWORD>(ERROR_SUCCESS));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor.get(), &control, &revision);
    EXPECT_TRUE(control & SE_DACL_PROTECTED);
    std::vector<std::wstring> granted;
    for (WORD i = 0; dacl && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        UniqueLocalPtr<wchar_t> sid;
        if (GetAce(dacl, i, reinterpret_cast<void**>(&ace)) && ConvertSidToStringSidW(&ace->SidStart, sid.put()))
            granted.push_back(std::wstring(sid.get()) + L" " + std::to_wstring(ace->Mask));
    }
    EXPECT_EQ(granted, (std::vector<std::wstring>{L"S-1-5-18 2031617", L"S-1-5-32-544 2031617",
                                                  processUserSid() + L" 2031617"}));
}
