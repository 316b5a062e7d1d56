#include "runtime/sysobjects.h"

#include <rpc.h>
#include <sddl.h>

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
    UniqueLocalPtr<void> descriptor = securityDescriptor(mutexSecurity(), VLOCATION("ExclusiveTask::Initialize"));
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor.get(), FALSE};
    mutex_.reset(CreateMutexW(&attributes, FALSE, name.c_str()));
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

void ExclusiveTask::acquire(const std::wstring& name, DWORD timeout, ErrorLocation location) {
    if (Initialize(name, timeout) == WAIT_TIMEOUT)
        throw vexception(format(L"Timed out after %lu ms waiting for mutex %ls", static_cast<unsigned long>(timeout),
                                name.c_str()),
                         std::move(location));
}

ExclusiveTask::~ExclusiveTask() { release(); }

std::wstring processUserSid() {
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()))
        throwOSError(L"OpenProcessToken", GetLastError(), VLOCATION("processUserSid"));
    union {
        TOKEN_USER user;
        unsigned char bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } info;
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenUser, &info, sizeof info, &size))
        throwOSError(L"GetTokenInformation", GetLastError(), VLOCATION("processUserSid"));
    UniqueLocalPtr<wchar_t> text;
    if (!ConvertSidToStringSidW(info.user.User.Sid, text.put()))
        throwOSError(L"ConvertSidToStringSid", GetLastError(), VLOCATION("processUserSid"));
    return text.get();
}

UniqueLocalPtr<void> securityDescriptor(const std::wstring& sddl, const ErrorLocation& location) {
    UniqueLocalPtr<void> descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, descriptor.put(), nullptr))
        throwOSError(L"ConvertStringSecurityDescriptorToSecurityDescriptor", GetLastError(), location);
    return descriptor;
}

std::wstring mutexSecurity() {
    // MUTANT_ALL_ACCESS for each; protected, so nothing is inherited.
    return L"D:P(A;;0x1f0001;;;SY)(A;;0x1f0001;;;BA)(A;;0x1f0001;;;" + processUserSid() + L")";
}

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
