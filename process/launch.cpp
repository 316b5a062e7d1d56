// The launch request to the run-as service. Every integer on its pipe is a
// 32-bit little-endian word; a block is a length word and that many bytes; a
// text is a block of UTF-16LE units; a reply is a status word, a length word
// and, unless the status is 0 or 2, that many bytes of text.
#include <cstring>
#include <memory>

#include "ipc/pipe.h"
#include "process/stdpipes.h"
#include "runtime/exceptions.h"
#include "runtime/text.h"

namespace RunTime {

namespace {

const DWORD runAsAccess = 0xC0000003;
const DWORD runAsReadMode = PIPE_READMODE_MESSAGE;
const int runAsAttempts = 2;
const DWORD failureStatus = 0xFFFFFFFF;
// The executable trusted to serve the run-as pipe, beside LocalSystem.
const wchar_t* const runAsImageValue = L"OrvexRunAsService";
// A reply holds a message or a handle; anything longer is no reply.
const DWORD maxReplyBytes = 64 * 1024;
// Connections one launch may try while the service closes the pipe.
const int maxConnections = 4;

// The launch lock and the run-as connection: built at library load, the
// connection deleted at unload. The connection is touched only under the lock.
CriticalSection launchLock;
std::unique_ptr<Con::ClientOverlappedPipe> connection;

void connect() {
    std::unique_ptr<Con::ClientOverlappedPipe> fresh(
        new Con::ClientOverlappedPipe(runAsPipeName, runAsAccess, runAsReadMode, runAsAttempts));
    Con::verifyServer(fresh->handle(), runAsPipeName, runAsImageValue);
    connection = std::move(fresh);  // the old object goes only once a new one stands
}

void ensureConnection() {
    if (!connection || !connection->valid()) connect();
}

DWORD handleWord(HANDLE handle) { return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(handle)); }

[[noreturn]] void raiseClosed() {
    throwRuntimeError(L"The run-as service closed the pipe %s", connection->endError(), runAsPipeName);
}

// False when the pipe ended (the service went) before the whole count moved.
bool put(const void* bytes, DWORD length) { return connection->write(bytes, length, false) == length; }

bool take(void* bytes, DWORD length) { return connection->read(bytes, length, false) == length; }

bool sendBlock(const void* bytes, DWORD length) {
    return put(&length, sizeof length) && (length == 0 || put(bytes, length));
}

bool sendText(const std::wstring& text) {
    return sendBlock(text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)));
}

std::wstring textOf(const std::string& bytes) {
    std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
    if (!text.empty()) std::memcpy(&text[0], bytes.data(), text.size() * sizeof(wchar_t));
    return text;
}

// The reply's text; false when the pipe ended first. A failure status
// raises the service's own message.
bool readReply(std::string& bytes) {
    DWORD status = 0, length = 0;
    if (!take(&status, sizeof status) || !take(&length, sizeof length)) return false;
    bytes.clear();
    if (status != 0 && status != 2 && length > 0) {
        if (length > maxReplyBytes)
            throwRuntimeError(L"Invalid answer from server: (%lu bytes announced)", 0,
                              static_cast<unsigned long>(length));
        bytes.assign(length, '\0');
        if (!take(&bytes[0], length)) return false;
    }
    if (status == failureStatus) throwRuntimeError(L"%s", 0, textOf(bytes).c_str());
    return true;
}

// The request up to the service's first reply; false when the pipe ended
// before that reply, when the service has started nothing yet.
bool openRequest(SIDClient& pipes, PSID user) {
    const DWORD words[2] = {1, 3};
    const DWORD handles[6] = {GetCurrentProcessId(),          GetCurrentThreadId(),
                              handleWord(pipes.stdinRead.get()), handleWord(pipes.stdoutWrite.get()),
                              handleWord(pipes.stderrWrite.get()), 1};
    std::string reply;
    return put(&words[0], sizeof words[0]) && put(&words[1], sizeof words[1]) &&
           sendBlock(user, GetLengthSid(user)) && sendBlock(handles, sizeof handles) && readReply(reply);
}

// The service's handle must name a process other than this one: a
// pseudo-handle (0, -1 this process, -2 this thread) or another object would
// have the caller wait on, or terminate, itself. Handles cross between 32-
// and 64-bit processes sign-extended.
HANDLE processHandle(DWORD value) {
    const LONG number = static_cast<LONG>(value);
    HANDLE handle = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(number));
    const DWORD id = number > 0 ? GetProcessId(handle) : 0;
    if (id == 0 || id == GetCurrentProcessId())
        throwRuntimeError(L"Invalid answer from server: (handle %ld)", 0, static_cast<long>(number));
    return handle;
}

UniqueHandle converse(SIDClient& pipes, PSID user, const std::wstring& command, const std::wstring& directory,
                      const std::wstring& environment) {
    ensureConnection();
    // A service that has gone shows only as a pipe that ends. Until its first
    // reply it has started nothing, so the request starts again on a new
    // connection, a bounded number of times: a service that keeps closing
    // the pipe cannot hold the launch lock.
    for (int connections = 1; !openRequest(pipes, user); ++connections) {
        if (connections == maxConnections)
            throwRuntimeError(L"The run-as service closed the pipe %s %d times in a row", connection->endError(),
                              runAsPipeName, connections);
        connection.reset();
        connect();
    }
    // The service holds its own copies now.
    pipes.stdinRead.reset();
    pipes.stdoutWrite.reset();
    pipes.stderrWrite.reset();
    const DWORD zero = 0;
    std::string answer;
    if (!sendBlock(&zero, sizeof zero) || !sendText(command) || !sendText(directory) || !sendText(environment) ||
        !readReply(answer))
        raiseClosed();
    if (answer.size() != 4) throwRuntimeError(L"Invalid answer from server: (%s)", 0, textOf(answer).c_str());
    DWORD value = 0;
    std::memcpy(&value, answer.data(), sizeof value);
    return UniqueHandle(processHandle(value));
}

}  // namespace

UniqueHandle launchAsUser(SIDClient& pipes, PSID user, const std::wstring& command, const std::wstring& directory,
                          const std::wstring& environment) {
    pipes.stdinWrite.reset();
    pipes.stdinRead.reset();
    if (!CreatePipe(pipes.stdinRead.put(), pipes.stdinWrite.put(), nullptr, 0))
        throwRuntimeError(L"Unable to create pipe", GetLastError());
    createOverlappedPipe(pipes.stdoutRead, pipes.stdoutWrite, nullptr, outputPipeBuffer, pipes.stdoutOverlapped.get());
    createOverlappedPipe(pipes.stderrRead, pipes.stderrWrite, nullptr, outputPipeBuffer, pipes.stderrOverlapped.get());

    CriticalSectionLock locked(launchLock);
    try {
        return converse(pipes, user, command, directory, environment);
    } catch (...) {
        // Departs from keeping the connection after a failure: a conversation
        // broken off midway (a cancellation, a time-out, a malformed or
        // refused answer, a service that went) may leave a reply in the pipe
        // that the next launch would read as its own. The next launch starts
        // on a new connection; a reply still to come is never delivered, and
        // the service closes the handle it put here for it.
        connection.reset();
        throw;
    }
}

}  // namespace RunTime
