#include "ipc/pipe.h"

#include "runtime/cancellation.h"
#include "runtime/exceptions.h"
#include "runtime/sysobjects.h"
#include "runtime/text.h"
#include "runtime/wait.h"

namespace Con {

namespace {

HANDLE duplicate(HANDLE handle, bool inheritable, ErrorLocation location) {
    HANDLE copy = nullptr;
    HANDLE self = GetCurrentProcess();
    if (!DuplicateHandle(self, handle, self, &copy, 0, inheritable ? TRUE : FALSE, DUPLICATE_SAME_ACCESS))
        throwOSError(L"Unable to duplicate handle", GetLastError(), std::move(location));
    return copy;
}

[[noreturn]] void throwIncomplete(DWORD done, DWORD asked, ErrorLocation location) {
    throw vexception(format(L"Completed only %d of %d bytes", static_cast<int>(done), static_cast<int>(asked)),
                     std::move(location));
}

}  // namespace

// ---- Pipe

Pipe::Pipe(HANDLE handle) : handle_(handle) {}

Pipe::Pipe(const Pipe& other)
    : handle_(other.valid() ? duplicate(other.handle(), true, VLOCATION("Con::Pipe::Pipe")) : nullptr),
      finished_(other.finished_),
      requested_(other.requested_) {}

Pipe::~Pipe() { closeHandle(); }

bool Pipe::isEndOfPipe(DWORD error) {
    return error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA;
}

void Pipe::closeHandle() { handle_.reset(); }

DWORD Pipe::settle(BOOL ok, DWORD done, DWORD count, bool exact, const wchar_t* failure, ErrorLocation location) {
    if (ok) {
        if (exact && done != count) throwIncomplete(done, count, std::move(location));
        return done;
    }
    DWORD error = GetLastError();
    if (isEndOfPipe(error)) {
        endedBy(error);
        return 0;
    }
    throwOSError(failure, error, std::move(location));
}

void Pipe::endedBy(DWORD error) {
    finished_ = true;
    endError_ = error;
}

DWORD Pipe::read(void* buffer, DWORD count, bool exact) {
    if (finished_) return 0;
    DWORD done = 0;
    BOOL ok = ReadFile(handle(), buffer, count, &done, nullptr);
    return settle(ok, done, count, exact, L"Unable to read from pipe", VLOCATION("Con::Pipe::read"));
}

DWORD Pipe::write(const void* buffer, DWORD count, bool exact) {
    if (finished_) return 0;
    DWORD done = 0;
    BOOL ok = WriteFile(handle(), buffer, count, &done, nullptr);
    return settle(ok, done, count, exact, L"Unable to write to pipe", VLOCATION("Con::Pipe::write"));
}

void Pipe::close() {
    closeHandle();
    finished_ = true;
}

std::unique_ptr<Pipe> Pipe::clone() const { return std::unique_ptr<Pipe>(new Pipe(*this)); }

// ---- Overlapped

Overlapped::Overlapped() : event_(CreateEventW(nullptr, TRUE, TRUE, nullptr)), overlapped_() {
    if (!event_) throwOSError(L"Unable to create event", GetLastError(), VLOCATION("Con::Overlapped::Overlapped"));
    overlapped_.hEvent = event_.get();
}

Overlapped::Overlapped(const Overlapped& other)
    : event_(duplicate(other.event(), false, VLOCATION("Con::Overlapped::Overlapped"))), overlapped_() {
    overlapped_.hEvent = event_.get();
}

Overlapped::~Overlapped() = default;

// The location reads "resert": the name error texts have always carried.
void Overlapped::reset() {
    if (!ResetEvent(event()))
        throwOSError(L"Unable to reset event", GetLastError(), VLOCATION("Con::Overlapped::resert"));
}

// ---- OverlappedPipe

OverlappedPipe::OverlappedPipe(HANDLE handle) : Pipe(handle) {}

OverlappedPipe::OverlappedPipe(const OverlappedPipe& other)
    : Pipe(other), overlapped_(other.overlapped_), idle_(other.idle_) {}

OverlappedPipe::~OverlappedPipe() {
    abandonPending();
    closeHandle();
}

void OverlappedPipe::abandonPending() {
    if (idle_) return;
    if (valid()) {
        // Targets this operation whichever thread began it.
        CancelIoEx(handle(), overlapped_.get());
        DWORD ignored = 0;
        GetOverlappedResult(handle(), overlapped_.get(), &ignored, TRUE);
    }
    idle_ = true;
    requested_ = 0;
}

bool OverlappedPipe::prepare(DWORD count, ErrorLocation location) {
    if (!idle_) throw vexception(L"Previous request has not completed!", std::move(location));
    if (finished_) return false;
    // No ResetEvent here: ReadFile and WriteFile reset the event themselves
    // when they start, and a second reset would cost a system call per transfer.
    requested_ = count;
    return true;
}

DWORD OverlappedPipe::started(BOOL ok, bool exact, const wchar_t* failure, ErrorLocation location) {
    if (ok) return internalComplete(exact);
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING)
        idle_ = false;
    else if (isEndOfPipe(error))
        endedBy(error);
    else
        throwOSError(failure, error, std::move(location));
    return 0;
}

DWORD OverlappedPipe::beginRead(void* buffer, DWORD count, bool exact) {
    if (!prepare(count, VLOCATION("Con::OverlappedPipe::beginRead"))) return 0;
    BOOL ok = ReadFile(handle(), buffer, count, nullptr, overlapped_.get());
    return started(ok, exact, L"Unable to read from pipe", VLOCATION("Con::OverlappedPipe::beginRead"));
}

DWORD OverlappedPipe::beginWrite(const void* buffer, DWORD count, bool exact) {
    if (!prepare(count, VLOCATION("Con::OverlappedPipe::beginWrite"))) return 0;
    BOOL ok = WriteFile(handle(), buffer, count, nullptr, overlapped_.get());
    return started(ok, exact, L"Unable to write to pipe", VLOCATION("Con::OverlappedPipe::beginWrite"));
}

DWORD OverlappedPipe::complete(HANDLE cancelEvent, DWORD timeout, bool exact) {
    if (idle_) throw vexception(L"Previous request has completed!", VLOCATION("Con::OverlappedPipe::complete"));
    HANDLE handles[2] = {overlapped_.event(), cancelEvent};
    DWORD result = WAIT_FAILED;
    try {
        result = VSyncObject::waitForMultipleObjects(cancelEvent ? 2 : 1, handles, false, timeout);
    } catch (...) {
        // A cancelled wait: the system must let go of the caller's buffer
        // before the unwinding frees it.
        abandonPending();
        throw;
    }
    switch (result) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED_0:
        return internalComplete(exact);
    case WAIT_OBJECT_0 + 1:
    case WAIT_ABANDONED_0 + 1:
    case WAIT_TIMEOUT:
        abandonPending();
        return 0;
    case WAIT_FAILED: {
        DWORD error = GetLastError();
        abandonPending();
        throwOSError(L"Unable to complete pipe operation", error, VLOCATION("Con::OverlappedPipe::complete"));
    }
    default:
        abandonPending();
        throw vexception(format(L"Unable to complete pipe operation: Unknown state %X", static_cast<unsigned>(result)),
                         VLOCATION("Con::OverlappedPipe::complete"));
    }
}

DWORD OverlappedPipe::internalComplete(bool exact) {
    DWORD done = 0;
    if (!GetOverlappedResult(handle(), overlapped_.get(), &done, TRUE)) {
        DWORD error = GetLastError();
        if (error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE) {
            endedBy(error);
        } else {
            idle_ = true;
            requested_ = 0;
            throwOSError(L"Unable to complete pipe operation", error,
                         VLOCATION("Con::OverlappedPipe::internalComplete"));
        }
    }
    idle_ = true;
    DWORD asked = requested_;
    requested_ = 0;
    if (exact && done != asked) throwIncomplete(done, asked, VLOCATION("Con::OverlappedPipe::internalComplete"));
    return done;
}

DWORD OverlappedPipe::read(void* buffer, DWORD count, bool exact) {
    DWORD done = beginRead(buffer, count, exact);
    if (finished_ || idle_) return done;
    return complete(nullptr, INFINITE, exact);
}

DWORD OverlappedPipe::write(const void* buffer, DWORD count, bool exact) {
    DWORD done = beginWrite(buffer, count, exact);
    if (finished_ || idle_) return done;
    return complete(nullptr, INFINITE, exact);
}

void OverlappedPipe::close() {
    abandonPending();
    Pipe::close();
    idle_ = true;
}

std::unique_ptr<Pipe> OverlappedPipe::clone() const { return std::unique_ptr<Pipe>(new OverlappedPipe(*this)); }

// ---- ClientOverlappedPipe

ClientOverlappedPipe::ClientOverlappedPipe(const std::wstring& name, DWORD access, DWORD readMode, int defaultAttempts)
    : OverlappedPipe(create(name, access, readMode, defaultAttempts)) {}

ClientOverlappedPipe::~ClientOverlappedPipe() = default;

HANDLE ClientOverlappedPipe::create(const std::wstring& name, DWORD access, DWORD readMode, int defaultAttempts) {
    const int attempts = pipeRetryCount(defaultAttempts);
    if (attempts < 1)
        throw vexception(L"Unable to connect to pipe " + name, VLOCATION("Con::ClientOverlappedPipe::create"));

    VHandle handle;  // closed if a cancellation or a failure leaves early
    for (int attempt = 0; attempt < attempts; ++attempt) {
        ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
        // Identification only: a server that took the pipe's name cannot act as this process.
        handle = VHandle(CreateFileW(name.c_str(), access, 0, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        if (handle.valid()) break;
        DWORD error = GetLastError();
        if (error != ERROR_PIPE_BUSY)
            throwOSError(L"Unable to connect to pipe " + name, error, VLOCATION("Con::ClientOverlappedPipe::create"));
        if (!WaitNamedPipeW(name.c_str(), 1000)) VSyncObject::sleep(50);
    }
    if (!handle.valid())
        throw vexception(L"Unable to connect to pipe " + name, VLOCATION("Con::ClientOverlappedPipe::create"));

    DWORD mode = readMode;
    if (!SetNamedPipeHandleState(handle.get(), &mode, nullptr, nullptr))
        throwOSError(L"Unable to set mode of pipe " + name, GetLastError(),
                     VLOCATION("Con::ClientOverlappedPipe::create"));
    return handle.release();
}

// ---- the server's identity

namespace {

bool runsAsLocalSystem(HANDLE process) {
    UniqueHandle token;
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } info;
    DWORD size = 0;
    return OpenProcessToken(process, TOKEN_QUERY, token.put()) &&
           GetTokenInformation(token.get(), TokenUser, &info, sizeof info, &size) &&
           IsWellKnownSid(info.user.User.Sid, WinLocalSystemSid);
}

std::wstring imageOf(HANDLE process) {
    std::wstring path(32768, L'\0');
    DWORD size = static_cast<DWORD>(path.size());
    if (!process || !QueryFullProcessImageNameW(process, 0, &path[0], &size)) return std::wstring();
    path.resize(size);
    return path;
}

std::wstring fullPath(const std::wstring& path) {
    if (path.empty()) return path;
    std::wstring full(32768, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
    return length > 0 && length < full.size() ? full.substr(0, length) : path;
}

}  // namespace

bool trustedServer(bool localSystem, const std::wstring& image, const std::wstring& configuredImage) {
    return localSystem || (!image.empty() && !configuredImage.empty() &&
                           CompareStringOrdinal(image.c_str(), static_cast<int>(image.size()), configuredImage.c_str(),
                                                static_cast<int>(configuredImage.size()), TRUE) == CSTR_EQUAL);
}

// Any process may create a service's pipe first while the service restarts;
// without this check it would receive every request, secrets included.
void verifyServer(HANDLE pipe, const std::wstring& name, const wchar_t* imageValue) {
    ULONG id = 0;
    if (!GetNamedPipeServerProcessId(pipe, &id))
        throwOSError(L"Unable to identify the server of pipe " + name, GetLastError(), VLOCATION("Con::verifyServer"));
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
    const std::wstring image = imageOf(process.get());
    std::wstring configured;
    registry::lookup(ConfigKey::root(), ConfigKey::subKey(), imageValue, configured, REG_SZ);
    if (!trustedServer(process && runsAsLocalSystem(process.get()), image, fullPath(configured)))
        throw vexception(format(L"Refused pipe %s: its server %s (process %lu) is neither LocalSystem nor the "
                                L"executable configured as %s",
                                name.c_str(), image.empty() ? L"(unknown image)" : image.c_str(),
                                static_cast<unsigned long>(id), imageValue),
                         VLOCATION("Con::verifyServer"));
}

// ---- retry count

int PipeRetryCount::get(int defaultCount) {
    if (enabled_) {
        try {
            cached_ = value_.get();
        } catch (...) {
            enabled_ = false;
        }
    }
    return cached_ != 0 ? static_cast<int>(cached_) : defaultCount;
}

int pipeRetryCount(int defaultCount) {
    static PipeRetryCount count;
    return count.get(defaultCount);
}

}  // namespace Con
