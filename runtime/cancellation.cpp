#include "runtime/cancellation.h"

#include <process.h>

#include <exception>
#include <string>

#include "runtime/executecontext.h"
#include "runtime/catchpoint.h"
#include "runtime/exceptions.h"
#include "runtime/log.h"
#include "runtime/sysobjects.h"

namespace ThreadCancelation {

namespace {

const wchar_t registryMutexPrefix[] = L"{D660A9E0-ED82-4a76-A607-E7B8471B868E}:";

CancellationRegistry& processRegistry() { return *processCancellationRegistry(); }

// Only wakes the thread: the point may already be gone when this runs, so the
// waits look at their own point instead. Never throws (it runs in a Windows frame).
void CALLBACK wakeForCancel(ULONG_PTR) noexcept {}

}  // namespace

CancellationRegistry* registryOf(ExecuteContext& context) {
    if (CancellationRegistry* existing = context.cancellation) return existing;
    ExclusiveTask creation;
    // Held for a moment only; another process that squats the name fails the
    // call instead of hanging it.
    creation.acquire(registryMutexPrefix + std::to_wstring(GetCurrentProcessId()), 10000,
                     VLOCATION("ThreadCancelation::registryOf"));
    // Another thread may have created it while this one waited: check and
    // store under the mutex, so that the process only ever has one.
    if (!context.cancellation) context.cancellation = new CancellationRegistry();
    return context.cancellation;
}

CancellationRegistry* processCancellationRegistry() {
    ExecuteContext* context = getExecuteContext();
    if (!context) throwOutOfMemory();
    return registryOf(*context);
}

bool takePendingCancel() {
    ExecuteContext* context = getExecuteContext();
    return context && context->cancellation && context->cancellation->takePending();
}

void endCanceledThread() {
#if defined(__i386__)
    // The host's frames between here and the thread's start get their
    // unwind calls (destructors, __finally) before the thread ends.
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    using RtlUnwindFn = void(WINAPI*)(void*, void*, EXCEPTION_RECORD*, void*);
    using NtCurrentTebFn = void*(WINAPI*)();
    auto unwind = reinterpret_cast<RtlUnwindFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlUnwind")));
    auto currentTeb = reinterpret_cast<NtCurrentTebFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtCurrentTeb")));
    NT_TIB* tib = nullptr;
    if (currentTeb)
        tib = static_cast<NT_TIB*>(currentTeb());
    else
        __asm__ volatile("movl %%fs:0x18, %0" : "=r"(tib));  // the TEB's pointer to itself
    const auto end = reinterpret_cast<EXCEPTION_REGISTRATION_RECORD*>(static_cast<ULONG_PTR>(-1));
    EXCEPTION_REGISTRATION_RECORD* record = tib->ExceptionList;
    while (record && record != end && record->Next != end) record = record->Next;
    if (unwind && record && record != end) unwind(record, nullptr, nullptr, nullptr);
#endif
    _endthreadex(0);
    ExitThread(0);  // not reached: _endthreadex does not return
}

void destroyCancellationRegistry(CancellationRegistry* registry) { delete registry; }

CancellationRegistry::CancellationRegistry() {
    tls_ = TlsAlloc();
    if (tls_ == TLS_OUT_OF_INDEXES)
        throwOSError(L"TlsAlloc() failed", GetLastError(),
                     VLOCATION("ThreadCancelation::TlsValuePtr<class ThreadCancelation::CancelationPoint>::TlsValuePtr"));
    pendingTls_ = TlsAlloc();
    if (pendingTls_ == TLS_OUT_OF_INDEXES) {
        DWORD error = GetLastError();
        TlsFree(tls_);
        throwOSError(L"TlsAlloc() failed", error,
                     VLOCATION("ThreadCancelation::TlsValuePtr<class ThreadCancelation::CancelationPoint>::TlsValuePtr"));
    }
}

CancellationRegistry::~CancellationRegistry() {
    TlsFree(pendingTls_);
    TlsFree(tls_);
}

void CancellationRegistry::setPending() { TlsSetValue(pendingTls_, reinterpret_cast<void*>(1)); }

bool CancellationRegistry::takePending() {
    if (!TlsGetValue(pendingTls_)) return false;
    TlsSetValue(pendingTls_, nullptr);
    return true;
}

void CancellationRegistry::setTracking(bool on) {
    CriticalSectionLock guard(lock_);
    InterlockedExchange(&tracking_, on ? 1 : 0);
    if (!on) threads_.clear();
}

CancelationPoint* CancellationRegistry::find(DWORD threadId) {
    CriticalSectionLock guard(lock_);
    auto it = threads_.find(threadId);
    return it == threads_.end() ? nullptr : it->second.innermost;
}

VHandle CancellationRegistry::threadHandle(DWORD threadId) {
    CriticalSectionLock guard(lock_);
    auto it = threads_.find(threadId);
    if (it == threads_.end()) return VHandle();
    return valueOr(VHandle(), [&] { return VHandle(it->second.thread); });
}

bool CancellationRegistry::cancel(DWORD threadId) {
    // Under the lock the point cannot be left: its destructor takes the lock first.
    CriticalSectionLock guard(lock_);
    auto it = threads_.find(threadId);
    if (it == threads_.end() || !it->second.innermost) return false;
    it->second.innermost->cancel();
    return true;
}

CancelationPoint* CancellationRegistry::innermost() const {
    return static_cast<CancelationPoint*>(TlsGetValue(tls_));
}

void CancellationRegistry::setInnermost(CancelationPoint* point) { TlsSetValue(tls_, point); }

void CancellationRegistry::record(DWORD threadId, CancelationPoint* point, bool add) {
    // An existing entry is kept current even with tracking off, so that an
    // entry never names a point that has been left.
    auto it = threads_.find(threadId);
    if (it != threads_.end()) {
        if (point) {
            it->second.innermost = point;
            return;
        }
        threads_.erase(it);
        return;
    }
    if (!add || !point) return;
    threads_.emplace(threadId, Entry{VHandle(OpenThread(SYNCHRONIZE, FALSE, threadId)), point});
}

namespace {

// Closes a thread's kept handle when the thread ends (or the slot is freed).
void WINAPI releaseThreadHandle(void* handle) { UniqueHandle owned(static_cast<HANDLE>(handle)); }

// Each thread's own handle for cancel APCs, duplicated at its first
// asynchronous point and kept in a fiber-local slot until the thread ends,
// when the slot's callback closes it: a wait then costs no DuplicateHandle
// and CloseHandle. The slot and its callback are this module's own, not the
// shared registry's, since another module may outlive this one; this
// module's unload frees the slot, which closes the handles still kept.
// Fiber-local storage is looked up at run time (32-bit Windows XP has none);
// without it every point keeps a duplicate of its own.
class ThreadHandles {
public:
    ThreadHandles() {
        HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        auto find = [kernel](const char* name) {
            return kernel ? reinterpret_cast<void*>(GetProcAddress(kernel, name)) : nullptr;
        };
        alloc_ = reinterpret_cast<decltype(alloc_)>(find("FlsAlloc"));
        free_ = reinterpret_cast<decltype(free_)>(find("FlsFree"));
        get_ = reinterpret_cast<decltype(get_)>(find("FlsGetValue"));
        set_ = reinterpret_cast<decltype(set_)>(find("FlsSetValue"));
        if (alloc_ && free_ && get_ && set_) slot_ = alloc_(releaseThreadHandle);
    }
    ~ThreadHandles() {
        if (slot_ != FLS_OUT_OF_INDEXES) free_(slot_);
        slot_ = FLS_OUT_OF_INDEXES;
    }
    ThreadHandles(const ThreadHandles&) = delete;
    ThreadHandles& operator=(const ThreadHandles&) = delete;

    // The calling thread's kept handle, or null.
    HANDLE kept() const { return slot_ == FLS_OUT_OF_INDEXES ? nullptr : static_cast<HANDLE>(get_(slot_)); }
    // Hands the handle to the slot; false when the slot cannot take it.
    bool keep(HANDLE thread) { return slot_ != FLS_OUT_OF_INDEXES && set_(slot_, thread); }

private:
    DWORD(WINAPI* alloc_)(PFLS_CALLBACK_FUNCTION) = nullptr;
    BOOL(WINAPI* free_)(DWORD) = nullptr;
    PVOID(WINAPI* get_)(DWORD) = nullptr;
    BOOL(WINAPI* set_)(DWORD, PVOID) = nullptr;
    DWORD slot_ = FLS_OUT_OF_INDEXES;
};

ThreadHandles& threadHandles() {
    static ThreadHandles handles;
    return handles;
}

}  // namespace

HANDLE keptThreadHandle() {
    const DWORD lastError = GetLastError();
    HANDLE kept = threadHandles().kept();
    SetLastError(lastError);
    return kept;
}

AsyncCancelationPoint::AsyncCancelationPoint() {
    // FlsGetValue may clear the thread's last error, which the caller's
    // caller may still need.
    const DWORD lastError = GetLastError();
    ThreadHandles& handles = threadHandles();
    thread_ = handles.kept();
    if (!thread_) {
        HANDLE thread = nullptr;
        if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread, 0, FALSE,
                             DUPLICATE_SAME_ACCESS))
            throwOSError(L"Unable to duplicate handle", GetLastError(),
                         VLOCATION("ThreadCancelation::AsyncCancelationPoint::AsyncCancelationPoint"));
        owned_.reset(thread);
        if (handles.keep(thread)) owned_.release();
        thread_ = thread;
    }
    SetLastError(lastError);
}

AsyncCancelationPoint::~AsyncCancelationPoint() = default;

void AsyncCancelationPoint::queue(CancelationPoint* point) {
    if (!QueueUserAPC(wakeForCancel, thread_, reinterpret_cast<ULONG_PTR>(point)))
        throwOSError(L"Unable to queue asynchronous cancel", GetLastError(),
                     VLOCATION("ThreadCancelation::AsyncCancelationPoint::queue"));
}

CancelationPoint::CancelationPoint(int mode) : registry_(&processRegistry()) {
    previous_ = registry_->innermost();
    if (previous_ && previous_->mode_ == Protected)
        mode_ = Protected;
    else
        mode_ = mode == Asynchronous || mode == Protected ? mode : Deferred;
    if (mode_ == Asynchronous) async_ = new AsyncCancelationPoint();
    try {
        CriticalSectionLock guard(registry_->lock_);
        registry_->record(GetCurrentThreadId(), this, registry_->tracking());
    } catch (...) {
        delete async_;
        throw;
    }
    registry_->setInnermost(this);
    if (registry_->takePending()) requested_ = 1;
}

void CancelationPoint::cancel() {
    if (InterlockedExchange(&requested_, 1) != 0) return;
    if (async_) async_->queue(this);
}

CancelationPoint::~CancelationPoint() noexcept(false) {
    if (done_) return;
    try {
        CriticalSectionLock guard(registry_->lock_);
        registry_->record(GetCurrentThreadId(), previous_, registry_->tracking());
    } catch (...) {
        // Out of memory for a new entry: the thread just stays untracked.
    }
    delete async_;
    async_ = nullptr;
    registry_->setInnermost(previous_);
    done_ = true;
    if (!requested_ || canceling_) return;
    if (std::uncaught_exceptions() == 0) {
        internalCancel();
        return;
    }
    // Another exception is unwinding this thread; throwing now would end the
    // process, so the next point outward takes the request over, or, when
    // there is none, the thread's next point or export boundary.
    if (previous_)
        InterlockedExchange(&previous_->requested_, 1);
    else
        registry_->setPending();
}

CancelationPoint* CancelationPoint::current() { return processRegistry().innermost(); }

void CancelationPoint::checkCanceled() {
    // Only an asynchronous point acts inside a wait; a protected one (mode 2,
    // inherited) waits on through foreign APCs and acts when it is left.
    if (mode_ == Asynchronous && requested_ && !canceling_ && std::uncaught_exceptions() == 0) internalCancel();
}

bool CancelationPoint::beginCancel() {
    CriticalSectionLock guard(registry_->lock_);
    if (canceling_) return false;
    canceling_ = true;
    return true;
}

void CancelationPoint::internalCancel() {
    if (!beginCancel()) return;
    DWORD thread = GetCurrentThreadId();
    logMessage(Info, L"Thread #%d has been canceling!", static_cast<int>(thread));
    throw ThreadCanceledException{thread};
}

}  // namespace ThreadCancelation
