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

// The launch lock and the run-as connection: built at library load, the
// connection deleted at unload. The connection is touched only under the lock.
CriticalSection launchLock;
std::unique_ptr<Con::ClientOverlappedPipe> connection;

void connect() {
    std::unique_ptr<Con::ClientOverlappedPipe> fresh(
        new Con::ClientOverlappedPipe(runAsPipeName, runAsAccess, runAsReadMode, runAsAttempts));
    connection = std::move(fresh);  // the old object goes only once a new one stands
}

void ensureConnection() {
    if (!connection || !connection->valid()) connect();
}

DWORD handleWord(HANDLE handle) { return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(handle)); }

// A service that has gone is only noticed by a write that moves nothing.
void sendWord(DWORD value) {
    while (connection->write(&value, sizeof value, true) == 0) {
        connection.reset();
        connect();
    }
}

void sendBlock(const void* bytes, DWORD length) {
    connection->write(&length, sizeof length, true);
    if (length > 0) connection->write(bytes, length, true);
}

void sendText(const std::wstring& text) {
    sendBlock(text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)));
}

// The reply's text; a failure status raises the service's own message.
std::string readReply() {
    DWORD status = 0, length = 0;
    connection->read(&status, sizeof status, true);
    connection->read(&length, sizeof length, true);
    std::string bytes;
    if (status != 0 && status != 2 && length > 0) {
        bytes.assign(length, '\0');
        connection->read(&bytes[0], length, true);
    }
    if (status == failureStatus) {
        std::wstring message(bytes.size() / sizeof(wchar_t), L'\0');
        if (!message.empty()) std::memcpy(&message[0], bytes.data(), message.size() * sizeof(wchar_t));
        throwRuntimeError(L"%s", 0, message.c_str());
    }
    return bytes;
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
    ensureConnection();
    sendWord(1);
    sendWord(3);
    sendBlock(user, GetLengthSid(user));
    const DWORD handles[6] = {GetCurrentProcessId(),          GetCurrentThreadId(),
                              handleWord(pipes.stdinRead.get()), handleWord(pipes.stdoutWrite.get()),
                              handleWord(pipes.stderrWrite.get()), 1};
    sendBlock(handles, sizeof handles);
    readReply();
    // The service holds its own copies now.
    pipes.stdinRead.reset();
    pipes.stdoutWrite.reset();
    pipes.stderrWrite.reset();
    const DWORD zero = 0;
    sendBlock(&zero, sizeof zero);
    sendText(command);
    sendText(directory);
    sendText(environment);
    const std::string answer = readReply();
    if (answer.size() != 4) {
        std::wstring text(answer.size() / sizeof(wchar_t), L'\0');
        if (!text.empty()) std::memcpy(&text[0], answer.data(), text.size() * sizeof(wchar_t));
        throwRuntimeError(L"Invalid answer from server: (%s)", 0, text.c_str());
    }
    DWORD value = 0;
    std::memcpy(&value, answer.data(), sizeof value);
    return UniqueHandle(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value)));
}

}  // namespace RunTime
