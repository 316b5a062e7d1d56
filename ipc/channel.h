// Request channel to a service on a message-mode named pipe. A request is
// written as two messages, its body length (4 bytes) and the body (the
// request identifier as a 16-byte blob, then the arguments); the answer is
// read the same way.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "ipc/pipe.h"
#include "runtime/owners.h"
#include "ipc/serializer.h"

namespace vpipechannel {

class client {
public:
    // Connects at once (5 attempts) when connectNow is set. Each connection's
    // server is verified (Con::verifyServer) against the executable that the
    // configuration value serverImageValue names.
    client(const std::wstring& pipeName, const wchar_t* serverImageValue, bool connectNow);
    virtual ~client();
    client(const client&) = delete;
    client& operator=(const client&) = delete;

    // Keeps a held, open pipe; otherwise opens a new one.
    void connect(int attempts);
    // Drops the pipe and connects with 5 attempts.
    void reconnect();

    // Sends one request and reads its answer, serialised with every other
    // query on this client. A broken connection is replaced once.
    std::unique_ptr<vserializer::input> query(const GUID& request, const vserializer::output& arguments);

    const std::wstring& pipeName() const { return pipeName_; }

private:
    std::unique_ptr<vserializer::input> exchange(const GUID& request, const vserializer::output& arguments);
    // Logs and throws when the pipe is known to be broken.
    void checkFinished();

    std::unique_ptr<Con::ClientOverlappedPipe> pipe_;
    std::wstring pipeName_;
    const wchar_t* serverImageValue_;
    CriticalSection lock_;
};

}  // namespace vpipechannel
