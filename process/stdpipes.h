// The standard-stream pipes of one child started by the run-as service, the
// overlapped pipe pairs they are made of, the launch request, and the loop
// that collects (or forwards) the child's output.
#pragma once

#include <windows.h>

#include <exception>
#include <string>

#include "runtime/owners.h"

namespace RunTime {

// An OVERLAPPED whose event (manual reset, created signalled, unnamed) it owns.
class PipeOverlapped {
public:
    PipeOverlapped();  // "Unable to create event"
    PipeOverlapped(const PipeOverlapped&) = delete;
    PipeOverlapped& operator=(const PipeOverlapped&) = delete;

    OVERLAPPED& get() noexcept { return overlapped_; }
    HANDLE event() const noexcept { return event_.get(); }

private:
    UniqueHandle event_;
    OVERLAPPED overlapped_;
};

class PipeClient {
public:
    virtual ~PipeClient() = default;
    virtual std::string commandName(int index) const;
};

// The pipes of one child. The child's ends (stdinRead, stdoutWrite,
// stderrWrite) are closed once the run-as service has its own copies; this
// process keeps stdinWrite, stdoutRead and stderrRead. Members are declared
// so that they close in the order the destructor promises.
class SIDClient : public PipeClient {
public:
    SIDClient();
    ~SIDClient() override;
    SIDClient(const SIDClient&) = delete;
    SIDClient& operator=(const SIDClient&) = delete;

    std::string commandName(int index) const override;
    // Starts the thread that runs pumpInput(); "Unable to create input thread".
    virtual void startInputThread();
    // The input thread's work: the text given to setInput, else this
    // process's standard input, into the child's; then its input is closed.
    virtual void pumpInput();
    // The child's output to this process's standard output and error.
    virtual void forwardOutput();

    // The child's whole input, written by pumpInput() in one piece.
    void setInput(std::string text);
    // Ends the input thread (the child has gone, so what it did not read is
    // lost anyway), then rethrows what pumpInput() failed with, if anything.
    // Nothing when no thread runs.
    void finishInput();

    UniqueHandle stdinWrite;
    UniqueHandle stdoutRead;
    UniqueHandle stderrRead;
    UniqueHandle stdinRead;
    UniqueHandle stdoutWrite;
    PipeOverlapped stdoutOverlapped;
    UniqueHandle stderrWrite;
    PipeOverlapped stderrOverlapped;
    UniqueHandle inputThread;

private:
    static DWORD WINAPI stdinThread(LPVOID self);
    // Stops the input thread in whatever state it is (not started, writing,
    // blocked on a full pipe) and waits until it has ended.
    void endInputThread() noexcept;

    // 0: not started; 1: claimed by the destructor; else a word on the input
    // thread's stack. Changed only by compare-and-exchange.
    void* volatile inputThreadStack = nullptr;
    std::string input_;
    bool hasInput_ = false;
    std::exception_ptr inputFailure_;  // read only after the thread has ended
};

// One connected pipe pair whose read end does overlapped I/O; `overlapped`
// serves the connection. The ends are released on failure.
void createOverlappedPipe(UniqueHandle& readEnd, UniqueHandle& writeEnd, SECURITY_ATTRIBUTES* security,
                          DWORD bufferSize, OVERLAPPED& overlapped);

// Asks the run-as service to start `command` as `user`, with the child's
// ends of the pipes in `pipes`. The handle of the new process, valid here.
UniqueHandle launchAsUser(SIDClient& pipes, PSID user, const std::wstring& command, const std::wstring& directory,
                          const std::wstring& environment);

// Reads both pipes to their end: true; false when the time-out (ms, INFINITE
// for none) ran out or stopEvent (may be null) was set. Bytes beyond maxBytes
// (0xFFFFFFFF: no limit) are read and dropped. No read is in flight when it
// returns or throws, a thread's cancellation included.
bool readPipes(std::string& out, std::string& err, HANDLE outPipe, OVERLAPPED& outOverlapped, HANDLE errPipe,
               OVERLAPPED& errOverlapped, HANDLE stopEvent, DWORD timeoutMs, DWORD maxBytes);
// The same loop, each chunk written to this process's standard output or error.
bool forwardPipes(HANDLE outPipe, OVERLAPPED& outOverlapped, HANDLE errPipe, OVERLAPPED& errOverlapped,
                  HANDLE stopEvent, DWORD timeoutMs);

// The size of the output pipes' buffers: room for a child that writes fast.
const DWORD outputPipeBuffer = 256 * 1024;

// The run-as service's pipe.
extern const wchar_t* const runAsPipeName;

}  // namespace RunTime
