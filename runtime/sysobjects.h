// Small owners and values over kernel objects: handles, time, GUID text,
// the cross-process mutex guard, module paths, case-insensitive equality.
#pragma once

#include <windows.h>

#include <string>

// Owns one kernel handle; INVALID_HANDLE_VALUE when empty. Copies duplicate.
class VHandle {
public:
    VHandle() = default;
    explicit VHandle(HANDLE handle) : handle_(handle ? handle : INVALID_HANDLE_VALUE) {}
    VHandle(const VHandle& other);
    VHandle(VHandle&& other) noexcept : handle_(other.release()) {}
    VHandle& operator=(VHandle other) noexcept {
        std::swap(handle_, other.handle_);
        return *this;
    }
    ~VHandle() { close(); }

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE release() {
        HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle;
    }
    void close();

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
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
    // WAIT_ABANDONED mean owned; WAIT_TIMEOUT sets timedOut.
    DWORD Initialize(const std::wstring& name, DWORD timeout);
    bool timedOut() const { return timedOut_; }

private:
    HANDLE mutex_ = nullptr;
    bool timedOut_ = false;
};

// Full path of a loaded module; null names the process's executable.
std::wstring moduleName(HMODULE module);

// Case-insensitive equality in the system locale.
bool equalsIgnoreCase(const std::wstring& a, const std::wstring& b);
