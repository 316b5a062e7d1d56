// Pipe handles behind one interface: read and write a byte count (optionally
// the whole count), notice the peer's end without an exception, and for
// overlapped handles start an operation and complete it later with a
// timeout and a cancel event.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "runtime/exceptions.h"
#include "runtime/owners.h"
#include "runtime/registry.h"

namespace Con {

// A synchronous pipe handle. A null or INVALID_HANDLE_VALUE handle is none.
class Pipe {
public:
    explicit Pipe(HANDLE handle = nullptr);
    // Duplicates the handle (same access, inheritable); copies the state.
    Pipe(const Pipe& other);
    Pipe& operator=(const Pipe&) = delete;
    virtual ~Pipe();

    // Bytes transferred; 0 once the peer has gone. With exact set, fewer
    // bytes than asked for is an error.
    virtual DWORD read(void* buffer, DWORD count, bool exact);
    virtual DWORD write(const void* buffer, DWORD count, bool exact);
    // Closes the handle; the pipe counts as finished afterwards.
    virtual void close();
    // A new object of the same class on a duplicate of the handle.
    virtual std::unique_ptr<Pipe> clone() const;

    HANDLE handle() const { return handle_.get(); }
    bool valid() const { return handle_.valid(); }
    bool finished() const { return finished_; }
    // The system error that ended the pipe (0 when it was closed here).
    DWORD endError() const { return endError_; }

protected:
    // ERROR_HANDLE_EOF, ERROR_BROKEN_PIPE, ERROR_NO_DATA: the peer has gone.
    static bool isEndOfPipe(DWORD error);
    void closeHandle();
    // The outcome of a synchronous ReadFile or WriteFile; call right after it.
    DWORD settle(BOOL ok, DWORD done, DWORD count, bool exact, const wchar_t* failure, ErrorLocation location);

    UniqueHandle handle_;
    // Marks the pipe finished by the peer's going.
    void endedBy(DWORD error);

    bool finished_ = false;
    DWORD requested_ = 0;
    DWORD endError_ = 0;
};

// An OVERLAPPED whose event is manual-reset and created signalled.
class Overlapped {
public:
    Overlapped();
    // Duplicates the event (not inheritable).
    Overlapped(const Overlapped& other);
    Overlapped& operator=(const Overlapped&) = delete;
    ~Overlapped();

    void reset();
    OVERLAPPED* get() { return &overlapped_; }
    HANDLE event() const { return event_.get(); }

private:
    UniqueHandle event_;
    OVERLAPPED overlapped_;
};

// A pipe handle opened with FILE_FLAG_OVERLAPPED. One operation at a time:
// begin moves it from idle to pending unless the operation ended at once;
// complete or close moves it back.
class OverlappedPipe : public Pipe {
public:
    explicit OverlappedPipe(HANDLE handle = nullptr);
    OverlappedPipe(const OverlappedPipe& other);
    ~OverlappedPipe() override;

    DWORD read(void* buffer, DWORD count, bool exact) override;
    DWORD write(const void* buffer, DWORD count, bool exact) override;
    void close() override;
    std::unique_ptr<Pipe> clone() const override;

    // Bytes transferred when the operation ended at once, else 0. The buffer
    // must stay valid until complete or close.
    DWORD beginRead(void* buffer, DWORD count, bool exact);
    DWORD beginWrite(const void* buffer, DWORD count, bool exact);
    // Waits (alertable) for the pending operation, the cancel event (may be
    // null) or the timeout (ms, INFINITE for none). Bytes transferred, or 0
    // when the operation was cancelled or timed out.
    DWORD complete(HANDLE cancelEvent, DWORD timeout, bool exact);

    bool idle() const { return idle_; }

protected:
    DWORD internalComplete(bool exact);
    // Before an operation begins: false when the pipe has finished.
    bool prepare(DWORD count, ErrorLocation location);
    // The outcome of an overlapped ReadFile or WriteFile; call right after it.
    DWORD started(BOOL ok, bool exact, const wchar_t* failure, ErrorLocation location);
    // Stops a pending operation and waits until the system lets go of the
    // buffer and the OVERLAPPED.
    void abandonPending();

    Overlapped overlapped_;
    bool idle_ = true;
};

// The client end of a named pipe, connected on construction with retries
// while the server is busy.
class ClientOverlappedPipe : public OverlappedPipe {
public:
    ClientOverlappedPipe(const std::wstring& name, DWORD access, DWORD readMode, int defaultAttempts);
    ~ClientOverlappedPipe() override;

    // Opens the pipe: each attempt is a cancellation point; a busy server is
    // waited for (1 s) and retried up to the "PipeConnectTryCount" value or,
    // when that is 0 or missing, defaultAttempts times. The server may only
    // identify this process, never impersonate it.
    static HANDLE create(const std::wstring& name, DWORD access, DWORD readMode, int defaultAttempts);
};

// Who may serve a service's pipe: a server running as LocalSystem, or the
// executable the configuration names (full path, case ignored).
bool trustedServer(bool localSystem, const std::wstring& image, const std::wstring& configuredImage);

// Checks the server of a connected client pipe before anything is sent to it
// (trustedServer, with the configuration value `imageValue` as the path);
// refuses any other with a vexception naming the pipe and the server's image.
void verifyServer(HANDLE pipe, const std::wstring& name, const wchar_t* imageValue);

// The "PipeConnectTryCount" configuration value as a process reads it: cached,
// re-read on every 16th call; a failed reading stops the reading for good.
class PipeRetryCount {
public:
    // The configured count when non-zero, else defaultCount.
    int get(int defaultCount);

private:
    PeriodicDword value_{L"PipeConnectTryCount"};
    DWORD cached_ = 0;  // kept when reading stops
    bool enabled_ = true;
};

// The process-wide reader used by ClientOverlappedPipe::create.
int pipeRetryCount(int defaultCount);

}  // namespace Con
