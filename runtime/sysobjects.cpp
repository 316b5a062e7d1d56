#include "runtime/sysobjects.h"

#include <rpc.h>

#include "runtime/exceptions.h"
#include "runtime/text.h"

VHandle::VHandle(const VHandle& other) : UniqueHandle() {
    if (!other.valid()) return;
    HANDLE process = GetCurrentProcess();
    HANDLE copy = nullptr;
    if (!DuplicateHandle(process, other.get(), process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        throwOSError(L"Unable to duplicate handle", GetLastError(), VLOCATION("VHandle::VHandle"));
    reset(copy);
}

namespace {
void freeRpcString(RPC_WSTR text) { RpcStringFreeW(&text); }
using UniqueRpcString = UniqueAny<RPC_WSTR, &freeRpcString>;
}  // namespace

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
    UniqueRpcString text;
    status = UuidToStringW(&uuid, text.put());
    if (status != RPC_S_OK) RunTime::throwRuntimeError(L"Unable to create GUID", static_cast<DWORD>(status));
    return reinterpret_cast<const wchar_t*>(text.get());
}

DWORD ExclusiveTask::Initialize(const std::wstring& name, DWORD timeout) {
    // A second Initialize lets go of the first mutex.
    release();
    mutex_.reset(CreateMutexW(nullptr, FALSE, name.c_str()));
    if (!mutex_) throwOSError(L"create mutex " + name, GetLastError(), VLOCATION("ExclusiveTask::Initialize"));
    DWORD result = WaitForSingleObject(mutex_.get(), timeout);
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
        mutex_.reset();
        throwOSError(L"WaitForSingleObject failed for mutex " + name, error, VLOCATION("ExclusiveTask::Initialize"));
    }
    }
}

ExclusiveTask::~ExclusiveTask() { release(); }

void ExclusiveTask::release() {
    if (mutex_ && !timedOut_) ReleaseMutex(mutex_.get());
    mutex_.reset();
    timedOut_ = false;
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
