// Owners of operating-system resources: one small movable type per kind of
// resource, each releasing it with the function that matches its allocator.
// Nothing outside these types calls CloseHandle, RegCloseKey, FreeSid,
// LocalFree and their kind by hand.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdlib>
#include <utility>

namespace owners {

// What an owner holds when it holds nothing.
template <class T>
struct NullIsEmpty {
    static T empty() { return T(); }
    static bool isEmpty(T value) { return value == T(); }
};
// Kernel and find handles: INVALID_HANDLE_VALUE is empty; null is never a
// handle either.
struct InvalidHandleIsEmpty {
    static HANDLE empty() { return INVALID_HANDLE_VALUE; }
    static bool isEmpty(HANDLE value) { return value == INVALID_HANDLE_VALUE || value == nullptr; }
};

template <class T>
void freeBlock(T* block) {
    std::free(block);
}
template <class T>
void localFree(T* block) {
    LocalFree(block);
}

}  // namespace owners

// Holds one resource of type T, released by Close; movable, not copyable.
template <class T, auto Close, class Empty = owners::NullIsEmpty<T>>
class UniqueAny {
public:
    using pointer = T;

    UniqueAny() noexcept = default;
    explicit UniqueAny(T value) noexcept : value_(value) {}
    UniqueAny(UniqueAny&& other) noexcept : value_(other.release()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    ~UniqueAny() { reset(); }

    T get() const noexcept { return value_; }
    bool valid() const noexcept { return !Empty::isEmpty(value_); }
    explicit operator bool() const noexcept { return valid(); }

    // Gives the resource up without releasing it.
    T release() noexcept {
        T value = value_;
        value_ = Empty::empty();
        return value;
    }
    // Releases the held resource and takes value instead.
    void reset(T value = Empty::empty()) noexcept {
        T old = value_;
        value_ = value;
        if (!Empty::isEmpty(old)) Close(old);
    }
    // For an out-parameter: releases what is held and lends the slot.
    T* put() noexcept {
        reset();
        return &value_;
    }

private:
    T value_ = Empty::empty();
};

using UniqueHandle = UniqueAny<HANDLE, &::CloseHandle, owners::InvalidHandleIsEmpty>;
using UniqueFindHandle = UniqueAny<HANDLE, &::FindClose, owners::InvalidHandleIsEmpty>;
using UniqueHKey = UniqueAny<HKEY, &::RegCloseKey>;
using UniqueEventSource = UniqueAny<HANDLE, &::DeregisterEventSource>;
// A SID from AllocateAndInitializeSid.
using UniqueAllocatedSid = UniqueAny<PSID, &::FreeSid>;
// A block from LocalAlloc or from a system call that allocates with it
// (FormatMessage, GetNamedSecurityInfo, SetEntriesInAcl).
template <class T>
using UniqueLocalPtr = UniqueAny<T*, &owners::localFree<T>>;
// A block from malloc/calloc.
template <class T>
using UniqueMallocPtr = UniqueAny<T*, &owners::freeBlock<T>>;
using UniqueBstr = UniqueAny<BSTR, &::SysFreeString>;

// A VARIANT cleared on every way out.
class UniqueVariant {
public:
    UniqueVariant() noexcept { VariantInit(&value_); }
    ~UniqueVariant() { VariantClear(&value_); }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;

    VARIANT* get() noexcept { return &value_; }
    const VARIANT& operator*() const noexcept { return value_; }
    // Clears and lends the variant to an out-parameter.
    VARIANT* put() noexcept {
        VariantClear(&value_);
        return &value_;
    }

private:
    VARIANT value_;
};

// One reference on a COM interface.
template <class Interface>
class ComPtr {
public:
    ComPtr() noexcept = default;
    // Takes over a reference the caller already holds.
    static ComPtr attach(Interface* pointer) noexcept {
        ComPtr result;
        result.pointer_ = pointer;
        return result;
    }
    ComPtr(const ComPtr& other) noexcept : pointer_(other.pointer_) {
        if (pointer_) pointer_->AddRef();
    }
    ComPtr(ComPtr&& other) noexcept : pointer_(other.detach()) {}
    ComPtr& operator=(ComPtr other) noexcept {
        std::swap(pointer_, other.pointer_);
        return *this;
    }
    ~ComPtr() { reset(); }

    Interface* get() const noexcept { return pointer_; }
    Interface* operator->() const noexcept { return pointer_; }
    explicit operator bool() const noexcept { return pointer_ != nullptr; }
    Interface* detach() noexcept {
        Interface* pointer = pointer_;
        pointer_ = nullptr;
        return pointer;
    }
    void reset() noexcept {
        if (Interface* pointer = detach()) pointer->Release();
    }
    // Releases what is held and lends the slot to an out-parameter.
    Interface** put() noexcept {
        reset();
        return &pointer_;
    }
    void** putVoid() noexcept { return reinterpret_cast<void**>(put()); }

private:
    Interface* pointer_ = nullptr;
};

// The two handles CreateProcess returns.
class UniqueProcessInformation {
public:
    UniqueProcessInformation() noexcept : info_() {}
    ~UniqueProcessInformation() { reset(); }
    UniqueProcessInformation(const UniqueProcessInformation&) = delete;
    UniqueProcessInformation& operator=(const UniqueProcessInformation&) = delete;

    PROCESS_INFORMATION* put() noexcept {
        reset();
        return &info_;
    }
    const PROCESS_INFORMATION& get() const noexcept { return info_; }
    void reset() noexcept {
        if (info_.hThread) CloseHandle(info_.hThread);
        if (info_.hProcess) CloseHandle(info_.hProcess);
        info_ = PROCESS_INFORMATION();
    }

private:
    PROCESS_INFORMATION info_;
};

// The one critical section type every lock of the library uses.
class CriticalSection {
public:
    CriticalSection() noexcept { InitializeCriticalSection(&section_); }
    ~CriticalSection() { DeleteCriticalSection(&section_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void enter() noexcept { EnterCriticalSection(&section_); }
    void leave() noexcept { LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

// Holds a critical section for a scope.
class CriticalSectionLock {
public:
    explicit CriticalSectionLock(CriticalSection& section) noexcept : section_(section) { section_.enter(); }
    ~CriticalSectionLock() { section_.leave(); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

private:
    CriticalSection& section_;
};
