// Small owners and values over kernel objects: handles, time, GUID text,
// the cross-process mutex guard, module paths, case-insensitive equality.
#pragma once

#include <windows.h>

#include <string>

#include "runtime/exceptions.h"
#include "runtime/owners.h"

// Owns one kernel handle; INVALID_HANDLE_VALUE when empty (a null handle is
// taken as empty). Copies duplicate the handle.
class VHandle : public UniqueHandle {
public:
    VHandle() = default;
    explicit VHandle(HANDLE handle) : UniqueHandle(handle ? handle : INVALID_HANDLE_VALUE) {}
    VHandle(const VHandle& other);
    VHandle(VHandle&& other) noexcept = default;
    VHandle& operator=(VHandle&& other) noexcept = default;
    VHandle& operator=(const VHandle& other) { return *this = VHandle(other); }

    void close() { reset(); }
};

// The fields of a SYSTEMTIME; compared without the day of week.
struct VDateTime {
    VDateTime();  // local time now
    explicit VDateTime(const FILETIME& time);
    explicit VDateTime(const SYSTEMTIME& time) : time(time) {}

    int compare(const VDateTime& other) const;
    bool operator<(const VDateTime& other) const { return compare(other) < 0; }
    bool operator==(const VDateTime& other) const { return compare(other) == 0; }

    SYSTEMTIME time;
};

// Lower-case 8-4-4-4-12 text of a new GUID (random, or sequential).
std::wstring newGuidText(bool random);

// Holds a named mutex, machine-wide or per session, across processes.
class ExclusiveTask {
public:
    ExclusiveTask() = default;
    ~ExclusiveTask();
    ExclusiveTask(const ExclusiveTask&) = delete;
    ExclusiveTask& operator=(const ExclusiveTask&) = delete;

    // Creates or opens the mutex and waits for it. WAIT_OBJECT_0 and
    // WAIT_ABANDONED mean owned; WAIT_TIMEOUT sets timedOut. A mutex this
    // call creates is open to SYSTEM, Administrators and this process's
    // user only (mutexSecurity()).
    DWORD Initialize(const std::wstring& name, DWORD timeout);
    // Initialize; when the wait times out, a vexception naming the mutex
    // at the caller's location.
    void acquire(const std::wstring& name, DWORD timeout, ErrorLocation location);
    bool timedOut() const { return timedOut_; }

private:
    // Releases an owned mutex and closes it.
    void release();

    UniqueHandle mutex_;
    bool timedOut_ = false;
};

// The SID text of this process's user ("S-1-5-18" for the system account).
std::wstring processUserSid();
// A security descriptor from SDDL text.
UniqueLocalPtr<void> securityDescriptor(const std::wstring& sddl, const ErrorLocation& location);
// The protected DACL of the library's named kernel objects: full access for
// SYSTEM, Administrators and this process's user; nothing for anyone else.
std::wstring mutexSecurity();

// Full path of a loaded module; null names the process's executable.
std::wstring moduleName(HMODULE module);

// Case-insensitive equality in the system locale.
bool equalsIgnoreCase(const std::wstring& a, const std::wstring& b);
