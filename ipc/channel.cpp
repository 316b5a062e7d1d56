#include "ipc/channel.h"

#include "runtime/catchpoint.h"
#include "runtime/log.h"
#include "runtime/text.h"

namespace vpipechannel {

namespace {

const DWORD pipeAccess = GENERIC_READ | GENERIC_WRITE | FILE_READ_DATA | FILE_WRITE_DATA;  // 0xC0000003
const int connectAttempts = 5;
// An answer holds a parameter or a password: anything longer is no answer.
const uint32_t maxAnswerBytes = 1u << 20;

}  // namespace

client::client(const std::wstring& pipeName, const wchar_t* serverImageValue, bool connectNow)
    : pipeName_(pipeName), serverImageValue_(serverImageValue) {
    if (connectNow) connect(connectAttempts);
}

client::~client() = default;

void client::connect(int attempts) {
    if (pipe_ && pipe_->valid()) return;
    std::unique_ptr<Con::ClientOverlappedPipe> pipe(
        new Con::ClientOverlappedPipe(pipeName_, pipeAccess, PIPE_READMODE_MESSAGE, attempts));
    Con::verifyServer(pipe->handle(), pipeName_, serverImageValue_);
    pipe_ = std::move(pipe);
}

void client::reconnect() {
    pipe_.reset();
    connect(connectAttempts);
}

void client::checkFinished() {
    if (!pipe_->finished()) return;
    logMessage(Warning, L"Connection to Orvex Management Service is broken: Pipe is finished");
    throw vexception(L"Pipe is finished", VLOCATION("vpipechannel::client::query"));
}

std::unique_ptr<vserializer::input> client::exchange(const GUID& request, const vserializer::output& arguments) {
    checkFinished();
    vserializer::output body;
    body.appendBlob(&request, sizeof request);  // GUID in its Windows memory layout
    body.append(arguments);

    const uint32_t n = body.size();
    unsigned char length[4] = {static_cast<unsigned char>(n), static_cast<unsigned char>(n >> 8),
                               static_cast<unsigned char>(n >> 16), static_cast<unsigned char>(n >> 24)};
    pipe_->write(length, sizeof length, true);
    // A pipe that breaks on the very first write went away between two
    // requests: nothing reached the peer, so the request may be sent again.
    checkFinished();
    pipe_->write(body.data(), n, true);

    unsigned char answer[4] = {0, 0, 0, 0};
    pipe_->read(answer, sizeof answer, true);
    const uint32_t m = answer[0] | answer[1] << 8 | answer[2] << 16 | static_cast<uint32_t>(answer[3]) << 24;
    if (m == 0) return std::unique_ptr<vserializer::input>(new vserializer::input());
    if (m > maxAnswerBytes)
        throw vserializer::invalidprotocol(format(L"Answer of %lu bytes exceeds the limit of %lu bytes",
                                                  static_cast<unsigned long>(m),
                                                  static_cast<unsigned long>(maxAnswerBytes)),
                                           VLOCATION("vpipechannel::client::query"));
    std::unique_ptr<unsigned char[]> bytes = vserializer::allocate(m);
    // A pipe that ends meanwhile leaves a short answer, which fails its reader.
    const DWORD got = pipe_->read(bytes.get(), m, true);
    return std::unique_ptr<vserializer::input>(new vserializer::input(std::move(bytes), got));
}

std::unique_ptr<vserializer::input> client::query(const GUID& request, const vserializer::output& arguments) {
    CriticalSectionLock lock(lock_);
    if (!pipe_) connect(connectAttempts);
    // First failure: a new connection and one more try.
    std::unique_ptr<vserializer::input> answer;
    ignoreFailure([&] { answer = exchange(request, arguments); });
    if (answer) return answer;
    reconnect();
    try {
        return exchange(request, arguments);
    } catch (...) {
        pipe_.reset();  // what the service still sends is never read as the next answer
        throw;
    }
}

}  // namespace vpipechannel
