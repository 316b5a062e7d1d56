#include "runtime/sysobjects.h"

#include <rpc.h>

#include "runtime/exceptions.h"
#include "runtime/text.h"

VHandle::VHandle(const VHandle& other) {
    if (!other.valid() || !other.handle_) return;
    HANDLE process = GetCurrentProcess();
    if (!DuplicateHandle(process, other.handle_, process, &handle_, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        handle_ = INVALID_HANDLE_VALUE;
        throwOSError(L"Unable to duplicate handle", GetLastError(), VLOCATION("VHandle::VHandle"));
    }
}

void VHandle::close() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

VDateTime::VDateTime() { GetLocalTime(&time); }

VDateTime::VDateTime(const FILETIME& fileTime) {
    if (!FileTimeToSystemTime(&fileTime, &time))
        throwOSError(L"FileTimeToSystemTime", GetLastError(), VLOCATION("VDateTime::VDateTime"));
}

int VDateTime::compare(const VDateTime& other) const {
    const WORD mine[] = {time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond,
                         time.wMilliseconds};
    const WORD theirs[] = {other.time.wYear, other.time.wMonth, other.time.wDay, other.time.wHour,
                           other.time.wMinute, other.time.wSecond, other.time.wMilliseconds};
    for (size_t i = 0; i < sizeof mine / sizeof mine[0]; ++i)
        if (mine[i] != theirs[i]) return mine[i] < theirs[i] ? -1 : 1;
    return 0;
}

std::wstring newGuidText(bool random) {
    UUID uuid;
    RPC_STATUS status = random ? UuidCreate(&uuid) : UuidCreateSequential(&uuid);
    if (status != RPC_S_OK && status != RPC_S_UUID_LOCAL_ONLY)
        RunTime::throwRuntimeError(L"Unable to create GUID", static_cast<DWORD>(status));
    RPC_WSTR text = nullptr;
    status = UuidToStringW(&uuid, &text);
    if (status != RPC_S_OK) RunTime::throwRuntimeError(L"Unable to create GUID", static_cast<DWORD>(status));
    std::wstring result = reinterpret_cast<wchar_t*>(text);
    RpcStringFreeW(&text);
    return result;
}

DWORD ExclusiveTask::Initialize(const std::wstring& name, DWORD timeout) {
    mutex_ = CreateMutexW(nullptr, FALSE, name.c_str());
    if (!mutex_) throwOSError(L"create mutex " + name, GetLastError(), VLOCATION("ExclusiveTask::Initialize"));
    DWORD result = WaitForSingleObject(mutex_, timeout);
    switch (result) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
        timedOut_ = false;
        return result;
    case WAIT_TIMEOUT:
        timedOut_ = true;
        return result;
    default: {
        DWORD error = GetLastError();
        CloseHandle(mutex_);
        mutex_ = nullptr;
        throwOSError(L"WaitForSingleObject failed for mutex " + name, error, VLOCATION("ExclusiveTask::Initialize"));
    }
    }
}

ExclusiveTask::~ExclusiveTask() {
    if (!mutex_) return;
    if (!timedOut_) ReleaseMutex(mutex_);
    CloseHandle(mutex_);
}

std::wstring moduleName(HMODULE module) {
    wchar_t buffer[261];
    DWORD length = GetModuleFileNameW(module, buffer, 261);
    if (length == 0) throwOSError(L"GetModuleFileName", GetLastError(), VLOCATION("moduleName"));
    return std::wstring(buffer, length);
}

bool equalsIgnoreCase(const std::wstring& a, const std::wstring& b) {
    int result = CompareStringW(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, a.c_str(), static_cast<int>(a.size()),
                                b.c_str(), static_cast<int>(b.size()));
    if (result == 0) {
        DWORD error = GetLastError();  // before the conversions below can change it
        RunTime::throwRuntimeError("Unable to compare strings (%s) with (%s)", error, RunTime::toNarrow(a).c_str(),
                                   RunTime::toNarrow(b).c_str());
    }
    return result == CSTR_EQUAL;
}
