#include "process/stdpipes.h"

#include <algorithm>
#include <functional>
#include <memory>

#include "runtime/cancellation.h"
#include "runtime/catchpoint.h"
#include "runtime/exceptions.h"
#include "runtime/setranslator.h"
#include "runtime/sysobjects.h"
#include "runtime/text.h"
#include "runtime/wait.h"

namespace RunTime {

namespace {

// Output is read in large pieces: a child that writes a database dump must
// not wait on a reader that takes a kilobyte per wake-up.
const DWORD readChunk = 256 * 1024;
// The byte limit of readPipes is kept per piece of this size, as reads of
// this size would keep it.
const DWORD limitPiece = 1024;
const DWORD inputChunk = 4096;
const DWORD inputThreadStackSize = 0x1FFFF;
const DWORD connectWaitMs = 5000;
const DWORD inputStopPollMs = 10;
const int pipeNameTries = 8;

using RtlRandomFunction = ULONG(NTAPI*)(PULONG seed);
// Resolved at library load; ntdll always has it.
const RtlRandomFunction rtlRandom = reinterpret_cast<RtlRandomFunction>(
    reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlRandom")));

volatile LONG pipeCounter = 0;

bool isValid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

}  // namespace

const wchar_t* const runAsPipeName = L"\\\\.\\pipe\\HVC_pipe {110D2F0F-F073-4021-AB73-C7886FB9BD1E}";

// ---- PipeOverlapped

PipeOverlapped::PipeOverlapped() : event_(CreateEventW(nullptr, TRUE, TRUE, nullptr)), overlapped_() {
    if (!event_) throwRuntimeError(L"Unable to create event", GetLastError());
    overlapped_.hEvent = event_.get();
}

// ---- PipeClient, SIDClient

std::string PipeClient::commandName(int) const { return "invalid command"; }

SIDClient::SIDClient() = default;

SIDClient::~SIDClient() { endInputThread(); }

std::string SIDClient::commandName(int index) const {
    static const char* const names[] = {"SUID",
                                        "kill user processes",
                                        "simple run as user",
                                        "simple run as user impersonated",
                                        "run as user",
                                        "run as user impersonated",
                                        "impersonate",
                                        "impersonate without profile"};
    return index >= 0 && index < 8 ? names[index] : "invalid command";
}

void SIDClient::setInput(std::string text) {
    input_ = std::move(text);
    hasInput_ = true;
}

void SIDClient::startInputThread() {
    HANDLE thread = CreateThread(nullptr, inputThreadStackSize, stdinThread, this, 0, nullptr);
    if (!thread) throwRuntimeError(L"Unable to create input thread", GetLastError());
    inputThread.reset(thread);
}

DWORD WINAPI SIDClient::stdinThread(LPVOID parameter) {
    auto* self = static_cast<SIDClient*>(parameter);
    try {
        SeTranslatorScope faults;
        ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
        volatile LONG_PTR stackWord = 0;
        void* word = const_cast<LONG_PTR*>(&stackWord);
        if (InterlockedCompareExchangePointer(&self->inputThreadStack, word, nullptr) != nullptr)
            return 0;  // the destructor came first
        try {
            self->pumpInput();
        } catch (const ThreadCancelation::ThreadCanceledException&) {
            throw;
        } catch (...) {
            self->inputFailure_ = std::make_exception_ptr(
                currentAsVException(L"Thread fatal error (SIDClient::stdinThread)", "RunTime::SIDClient::stdinThread",
                                    __LINE__));
        }
    } catch (...) {  // a cancellation, or a failure to report one: the thread ends here
    }
    return 0;
}

void SIDClient::pumpInput() {
    if (hasInput_) {
        DWORD written = 0;
        if (!input_.empty() &&
            !WriteFile(stdinWrite.get(), input_.data(), static_cast<DWORD>(input_.size()), &written, nullptr))
            throwRuntimeError(L"Can't write to std in of process", GetLastError());
        stdinWrite.reset();
        return;
    }
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[inputChunk];
    for (DWORD read = 0; ReadFile(input, buffer, sizeof buffer, &read, nullptr) && read > 0;) {
        DWORD written = 0;
        WriteFile(stdinWrite.get(), buffer, read, &written, nullptr);
    }
    stdinWrite.reset();
}

void SIDClient::forwardOutput() {
    forwardPipes(stdoutRead.get(), stdoutOverlapped.get(), stderrRead.get(), stderrOverlapped.get(), nullptr,
                 INFINITE);
}

void SIDClient::finishInput() {
    if (!inputThread) return;
    // The child has gone: a write still blocked has no reader left.
    endInputThread();
    inputThread.reset();
    if (inputFailure_) std::rethrow_exception(inputFailure_);
}

// Departs from ending the thread with TerminateThread and freeing its stack:
// that can leave a lock of the thread's held and its stack in use. The
// thread is asked to stop instead, and waited for, so that it never touches
// this object after it has gone.
void SIDClient::endInputThread() noexcept {
    if (!inputThread) return;
    // Claimed before the thread began its work: it returns at once.
    InterlockedCompareExchangePointer(&inputThreadStack, reinterpret_cast<void*>(1), nullptr);
    // A write blocked on a pipe nobody reads (or a read of this process's
    // input) ends with ERROR_OPERATION_ABORTED; asked again in case the
    // thread had not yet reached it.
    while (WaitForSingleObject(inputThread.get(), inputStopPollMs) == WAIT_TIMEOUT)
        CancelSynchronousIo(inputThread.get());
}

// ---- pipe pairs

void createOverlappedPipe(UniqueHandle& readEnd, UniqueHandle& writeEnd, SECURITY_ATTRIBUTES* security,
                          DWORD bufferSize, OVERLAPPED& overlapped) {
    readEnd.reset();
    writeEnd.reset();
    UniqueHandle server;
    std::wstring name;
    // The name can be guessed: the first instance must be ours (a squatter's
    // makes the create fail and another name is tried), and until our own
    // client is in, only this user, SYSTEM and the administrators may open it.
    UniqueLocalPtr<void> ownDescriptor;
    SECURITY_ATTRIBUTES own = {sizeof own, nullptr, FALSE};
    if (!security) {
        ownDescriptor = securityDescriptor(L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;" + processUserSid() + L")",
                                           VLOCATION("createOverlappedPipe"));
        own.lpSecurityDescriptor = ownDescriptor.get();
        security = &own;
    }
    // Departs from retrying until the pipe counter comes round (about four
    // billion names): a failure that is not the name's gives up soon.
    for (int tries = 1;; ++tries) {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        ULONG seed = now.dwLowDateTime + now.dwHighDateTime;
        const LONG counter = InterlockedIncrement(&pipeCounter);
        name = format(L"\\\\.\\pipe\\OrvexWin32.Pipes.%X%X%X%X", static_cast<unsigned>(GetCurrentThreadId()),
                      static_cast<unsigned>(now.dwLowDateTime), static_cast<unsigned>(rtlRandom(&seed)),
                      static_cast<unsigned>(counter));
        server.reset(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, bufferSize, bufferSize, 0,
                                      security));
        if (server) break;
        if (tries == pipeNameTries) throwRuntimeError(L"Unable to create pipe (%s)", GetLastError(), name.c_str());
    }
    UniqueHandle client(CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!client) throwRuntimeError(L"Unable to open pipe (%s)", GetLastError(), name.c_str());
    if (!ConnectNamedPipe(server.get(), &overlapped)) {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            DWORD result = VSyncObject::waitForMultipleObjects(1, &overlapped.hEvent, false, connectWaitMs);
            if (result == WAIT_TIMEOUT)
                throwRuntimeError(L"Unable to wait while pipe connected (%s)", ERROR_TIMEOUT, name.c_str());
            if (result == WAIT_FAILED)
                throwRuntimeError(L"Unable to wait while pipe connected (%s)", GetLastError(), name.c_str());
            if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED_0)
                throwRuntimeError(L"Unable to wait while pipe connected (%s): Unknown state %X", 0, name.c_str(),
                                  static_cast<unsigned>(result));
        } else if (error != ERROR_PIPE_CONNECTED) {
            throwRuntimeError(L"Unable to connect pipe (%s)", error, name.c_str());
        }
    }
    readEnd = std::move(server);
    writeEnd = std::move(client);
}

// ---- output collection

namespace {

// One output pipe of the loop: its buffer, its OVERLAPPED and whether a read
// is in flight.
struct PipeReader {
    HANDLE pipe;
    OVERLAPPED& overlapped;
    bool finished;
    bool inFlight = false;
    bool issue = true;
    std::unique_ptr<char[]> buffer;

    PipeReader(HANDLE pipe, OVERLAPPED& overlapped)
        : pipe(pipe), overlapped(overlapped), finished(!isValid(pipe)), buffer(finished ? nullptr : new char[readChunk]) {}
    PipeReader(const PipeReader&) = delete;
    PipeReader& operator=(const PipeReader&) = delete;
    // The system lets go of the buffer and the OVERLAPPED before they go away.
    ~PipeReader() { cancel(); }

    void cancel() noexcept {
        if (!inFlight) return;
        CancelIoEx(pipe, &overlapped);
        DWORD ignored = 0;
        GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
        inFlight = false;
    }

    void start() {
        if (!issue) return;
        issue = false;
        if (!ResetEvent(overlapped.hEvent)) throwRuntimeError(L"Unable to reset event", GetLastError());
        if (finished) return;
        if (ReadFile(pipe, buffer.get(), readChunk, nullptr, &overlapped)) {
            inFlight = true;  // its bytes are taken through the event like any other
            return;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE)
            finished = true;
        else if (error == ERROR_IO_PENDING)
            inFlight = true;
        else
            throwRuntimeError(L"Unable to read pipe", error);
    }

    // After the event was set: the bytes the read returned.
    DWORD complete() {
        DWORD done = 0;
        BOOL ok = GetOverlappedResult(pipe, &overlapped, &done, TRUE);
        inFlight = false;
        issue = true;
        if (!ok) {
            const DWORD error = GetLastError();
            if (error != ERROR_HANDLE_EOF && error != ERROR_BROKEN_PIPE)
                throwRuntimeError(L"Unable to read pipe", error);
            finished = true;
            done = 0;
        }
        return done;
    }
};

using Sink = std::function<void(int stream, const char* bytes, DWORD count)>;

bool collect(HANDLE outPipe, OVERLAPPED& outOverlapped, HANDLE errPipe, OVERLAPPED& errOverlapped, HANDLE stopEvent,
             DWORD timeoutMs, const Sink& sink) {
    if (stopEvent && !ResetEvent(stopEvent)) throwRuntimeError(L"Unable to reset event", GetLastError());
    PipeReader readers[2] = {{outPipe, outOverlapped}, {errPipe, errOverlapped}};
    DWORD left = timeoutMs;
    for (;;) {
        readers[0].start();
        readers[1].start();
        if (readers[0].finished && readers[1].finished) return true;  // the readers cancel what is left
        HANDLE handles[3] = {outOverlapped.hEvent, errOverlapped.hEvent, stopEvent};
        const DWORD started = GetTickCount();
        const DWORD result = VSyncObject::waitForMultipleObjects(stopEvent ? 3 : 2, handles, false, left);
        if (left != INFINITE) {
            const DWORD took = GetTickCount() - started;
            left = took < left ? left - took : 0;
        }
        switch (result) {
        case WAIT_OBJECT_0:
        case WAIT_ABANDONED_0:
        case WAIT_OBJECT_0 + 1:
        case WAIT_ABANDONED_0 + 1: {
            const int stream = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED_0 ? 0 : 1;
            PipeReader& reader = readers[stream];
            if (!reader.inFlight) {
                // A finished pipe's event stays reset; nothing else sets it.
                reader.issue = true;
                break;
            }
            const DWORD done = reader.complete();
            if (done > 0) sink(stream, reader.buffer.get(), done);
            break;
        }
        case WAIT_OBJECT_0 + 2:
        case WAIT_ABANDONED_0 + 2:
        case WAIT_TIMEOUT:
            return false;
        case WAIT_FAILED:
            throwRuntimeError(L"Unable to read pipe", GetLastError());
        default:
            throwRuntimeError(L"Unable to read pipe: Unknown state %X", 0, static_cast<unsigned>(result));
        }
    }
}

}  // namespace

bool readPipes(std::string& out, std::string& err, HANDLE outPipe, OVERLAPPED& outOverlapped, HANDLE errPipe,
               OVERLAPPED& errOverlapped, HANDLE stopEvent, DWORD timeoutMs, DWORD maxBytes) {
    out.clear();
    err.clear();
    return collect(outPipe, outOverlapped, errPipe, errOverlapped, stopEvent, timeoutMs,
                   [&](int stream, const char* bytes, DWORD count) {
                       std::string& kept = stream == 0 ? out : err;
                       if (maxBytes == 0xFFFFFFFF) {
                           kept.append(bytes, count);
                           return;
                       }
                       // A piece is kept whole while the bytes kept before it are fewer than the limit.
                       for (DWORD at = 0; at < count && out.size() + err.size() < maxBytes; at += limitPiece)
                           kept.append(bytes + at, std::min(limitPiece, count - at));
                   });
}

bool forwardPipes(HANDLE outPipe, OVERLAPPED& outOverlapped, HANDLE errPipe, OVERLAPPED& errOverlapped,
                  HANDLE stopEvent, DWORD timeoutMs) {
    return collect(outPipe, outOverlapped, errPipe, errOverlapped, stopEvent, timeoutMs,
                   [](int stream, const char* bytes, DWORD count) {
                       DWORD written = 0;
                       WriteFile(GetStdHandle(stream == 0 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE), bytes, count,
                                 &written, nullptr);
                   });
}

}  // namespace RunTime
