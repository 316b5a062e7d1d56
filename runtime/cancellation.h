// Thread cancellation: points mark where a thread may be stopped; a host
// cancels a thread through its innermost point in the shared registry.
//
// How a cancel ends a thread. The cancelled thread unwinds through a C++
// exception, ThreadCanceledException, thrown from the library's own frame:
//  - mode 0 (asynchronous): cancel() queues an APC to the point's thread. The
//    APC only wakes the thread; the cancellable waits (runtime/wait.h) find
//    their point cancelled after the alertable wait returns and throw. A
//    request that reaches a mode-0 point outside such a wait takes effect
//    when the thread next waits through them, or when the point is left.
//  - mode 1 (deferred): the exception is thrown when the point is left, after
//    the destructors of the objects inside it have run.
//  - mode 2 (protected): like mode 1 for the point itself; every point opened
//    inside it gets mode 2 and is never cancelled asynchronously: a wait in
//    it goes on through any APC and the point acts when it is left.
// A request found while another exception unwinds the thread is never thrown
// (that would end the process); the next point outward takes it over, or,
// when there is none, the thread's next point or export boundary.
// While the exception unwinds, every destructor of the library's frames runs;
// library catch points let it pass untouched. It never leaves the library:
// the outermost library frame (an export boundary, a thread or COM entry
// point of the library) catches it and ends the thread with
// endCanceledThread(): on i686 the host's frames between that frame and the
// thread's start are unwound first through the structured-exception chain
// (RtlUnwind to the outermost registration), so MSVC destructors and
// __finally blocks of the host run; on x86_64 the thread ends at once, and
// the host's frames above the export are not unwound. Either way the thread
// ends with exit code 0 and the process goes on.
//
// What a host must do: nothing inside its thread routine. To cancel: switch
// tracking on (before the thread opens its points), then call
// registry.cancel(threadId), or find(threadId)->cancel() while keeping the
// point alive. A host whose own code must run after a cancelled call returns
// cannot have it: the call does not return.
#pragma once

#include <windows.h>

#include <map>

#include "runtime/owners.h"
#include "runtime/sysobjects.h"
#include "runtime/threadcanceled.h"

struct ExecuteContext;

namespace ThreadCancelation {

class CancelationPoint;

// One per process, shared by all modules through the execute context.
class CancellationRegistry {
public:
    CancellationRegistry();  // TlsAlloc failure throws
    ~CancellationRegistry();
    CancellationRegistry(const CancellationRegistry&) = delete;
    CancellationRegistry& operator=(const CancellationRegistry&) = delete;

    // The map of threads is filled only while tracking is on (off at creation).
    void setTracking(bool on);
    bool tracking() const { return tracking_ != 0; }

    // The thread's innermost tracked point, or null. The point may be left as
    // soon as this returns; use cancel() unless the thread is known to stay.
    CancelationPoint* find(DWORD threadId);
    // A duplicate of the thread's SYNCHRONIZE handle, or an empty handle.
    VHandle threadHandle(DWORD threadId);
    // Cancels the thread's innermost tracked point under the lock; false when
    // the thread has none.
    bool cancel(DWORD threadId);

    // A request that no point could take over (it came while another
    // exception unwound the thread's outermost point) waits here for the
    // thread's next point or export boundary.
    void setPending();
    bool takePending();

private:
    friend class CancelationPoint;
    friend class AsyncCancelationPoint;

    struct Entry {
        VHandle thread;  // SYNCHRONIZE access
        CancelationPoint* innermost;
    };

    CancelationPoint* innermost() const;
    void setInnermost(CancelationPoint* point);

    // Under the lock: the thread's entry now names point (null removes it).
    void record(DWORD threadId, CancelationPoint* point, bool add);

    DWORD tls_;
    DWORD pendingTls_;
    std::map<DWORD, Entry> threads_;
    CriticalSection lock_;
    volatile LONG tracking_ = 0;
};

// The process's registry, created on first use under the process's creation
// mutex and stored in the execute context before the mutex is let go.
CancellationRegistry* processCancellationRegistry();
CancellationRegistry* registryOf(ExecuteContext& context);
void destroyCancellationRegistry(CancellationRegistry* registry);

// True once, when the calling thread carries a request that no point took
// over. Never creates the registry.
bool takePendingCancel();

// Ends the calling thread after a cancellation has unwound the library's
// frames: on i686 the host's own frames above the library are unwound first
// (RtlUnwind to the thread's outermost structured-exception registration),
// then _endthreadex(0). Called by the library's outermost frames (export
// boundaries, threads and COM entry points of the library) once the
// cancellation exception has arrived there.
[[noreturn]] void endCanceledThread();

enum CancelationMode { Asynchronous = 0, Deferred = 1, Protected = 2 };

// The calling thread's handle that this module keeps for cancel APCs (see
// AsyncCancelationPoint), or null before the thread's first asynchronous point.
HANDLE keptThreadHandle();

// The handle of the point's thread to queue the cancel APC on: duplicated
// once per thread and kept by this module until the thread ends (or, when
// it cannot be kept, owned by the point).
class AsyncCancelationPoint {
public:
    AsyncCancelationPoint();
    ~AsyncCancelationPoint();
    AsyncCancelationPoint(const AsyncCancelationPoint&) = delete;
    AsyncCancelationPoint& operator=(const AsyncCancelationPoint&) = delete;

    void queue(CancelationPoint* point);

private:
    HANDLE thread_ = nullptr;
    UniqueHandle owned_;
};

// Lives on the stack of its thread. Leaving a point that was cancelled throws
// ThreadCanceledException (unless the thread is already unwinding).
class CancelationPoint {
public:
    explicit CancelationPoint(int mode);
    // Called from another thread; a second call does nothing.
    virtual void cancel();
    virtual ~CancelationPoint() noexcept(false);
    CancelationPoint(const CancelationPoint&) = delete;
    CancelationPoint& operator=(const CancelationPoint&) = delete;

    int mode() const { return mode_; }
    bool requested() const { return requested_ != 0; }
    CancelationPoint* previous() const { return previous_; }

    // The innermost point of the calling thread, or null.
    static CancelationPoint* current();
    // Ends the thread's code here when this point has been cancelled. The
    // cancellable waits call it after an APC woke them.
    void checkCanceled();

private:
    // Throws ThreadCanceledException on the first call; later calls return.
    void internalCancel();
    bool beginCancel();

    CancellationRegistry* registry_;
    CancelationPoint* previous_ = nullptr;
    int mode_ = 0;
    volatile LONG requested_ = 0;
    volatile bool canceling_ = false;
    bool done_ = false;
    AsyncCancelationPoint* async_ = nullptr;
};

}  // namespace ThreadCancelation
