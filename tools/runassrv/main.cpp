// runassrv: a stand-in for the panel's run-as service, for tests and demos.
// It serves the library's launch request on the run-as pipe, one thread per
// connection, and starts each command with the three standard-stream handles
// the caller passed. It is a peer of the library, not a user of it.
//
// Wire format, every integer 32-bit little-endian, each piece written by the
// library as a message of its own (and read here as a byte stream):
//   word    4 bytes
//   block   a length word, then that many bytes
//   text    a block of UTF-16LE units
//   reply   a status word, a length word and, unless the status is 0 or 2,
//           that many bytes of UTF-16LE text; each piece one message
//   launch  word 1, word 3, block SID, block of six words (caller's process
//           id, thread id, its handles of the child's stdin, stdout and
//           stderr, 1); reply; block of one word 0; text command, text
//           directory, text environment block; reply holding the 4 bytes of
//           the new process's handle in the caller's process.
//   failure status 0xFFFFFFFF with the message as its text
//
// Under Wine every account is the same Unix user: the child runs as this
// program's own user whatever SID was asked for. --log records the SID.
#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "runtime/owners.h"
#include "tools/registerimage.h"

namespace {

const wchar_t* const usage =
    L"usage: runassrv [options]\n"
    L"       runassrv --stop [--pipe NAME | --stop-event NAME]\n"
    L"\n"
    L"Serves the run-as service's launch request on a message-mode named pipe,\n"
    L"one thread per connection: duplicates the caller's three standard-stream\n"
    L"handles, starts the command line unchanged with CreateProcessW in the given\n"
    L"directory with the given Unicode environment block, and hands the process\n"
    L"handle back into the caller. Every child runs as this program's user.\n"
    L"\n"
    L"options:\n"
    L"  --pipe NAME         pipe to serve (default \\\\.\\pipe\\HVC_pipe {110D2F0F-...})\n"
    L"  --fault KIND        answer every launch wrongly:\n"
    L"                        error         first reply: failure status, \"Injected failure\"\n"
    L"                        error-final   final reply: failure status, \"Injected failure\"\n"
    L"                        length        final reply: status 1 with a 9-unit text\n"
    L"                        zero-status   final reply: status 0 (no text)\n"
    L"                        self | thread | null   final reply: the handle value -1, -2 or 0\n"
    L"                        event         final reply: an event's handle, put into the caller\n"
    L"                        huge          final reply: status 1 announcing 0x7FFFFFFF bytes\n"
    L"                        hangup        close every connection before reading anything\n"
    L"  --close-after N     close a connection after answering N launches\n"
    L"  --delay MS          wait MS ms before the final reply\n"
    L"  --log FILE          append one UTF-8 line per request, start and child exit:\n"
    L"                        request sid=S caller=PID thread=TID flag=F\n"
    L"                        launch child=PID zero=Z directory=D command=C\n"
    L"                        exit child=PID code=N\n"
    L"  --ready-event NAME  set this event once clients can connect\n"
    L"  --stop-event NAME   stop when this event is set (default: runassrv-stop)\n"
    L"  --parent PID        stop when that process ends\n"
    L"  --quiet             print nothing but errors\n"
    L"On start it writes its own path into the configuration value OrvexRunAsService,\n"
    L"so that the library accepts it as the run-as service. A process it started\n"
    L"whose handle cannot be delivered (the caller went) is closed in the caller\n"
    L"again and logged as: undelivered child=PID\n"
    L"  --stop              set the stop event of a running stand-in and exit\n";

const DWORD failureStatus = 0xFFFFFFFF;
const DWORD maxBlock = 16u << 20;
const DWORD one = 1, huge = 0x7FFFFFFF;

using Bytes = std::vector<unsigned char>;

struct Options {
    std::wstring pipe = L"\\\\.\\pipe\\HVC_pipe {110D2F0F-F073-4021-AB73-C7886FB9BD1E}";
    std::wstring fault;
    long closeAfter = 0;
    DWORD delay = 0;
    std::wstring log;
    std::wstring readyEvent;
    std::wstring stopEvent = L"runassrv-stop";
    DWORD parent = 0;
    bool quiet = false;
    bool stop = false;
} options;

CriticalSection logLock;
// While a child is created, the three handles meant for it are inheritable;
// no other connection's handles may be then.
CriticalSection createLock;

std::string utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

void logLine(const std::wstring& line) {
    if (options.log.empty()) return;
    std::string text = utf8(line) + "\n";
    CriticalSectionLock locked(logLock);
    FILE* file = _wfopen(options.log.c_str(), L"ab");
    if (!file) return;
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

std::wstring sidText(const Bytes& sid) {
    UniqueLocalPtr<wchar_t> text;
    if (sid.empty() || !IsValidSid(const_cast<unsigned char*>(sid.data())) ||
        !ConvertSidToStringSidW(const_cast<unsigned char*>(sid.data()), text.put()))
        return L"(invalid)";
    return text.get();
}

std::wstring textOf(const Bytes& bytes) {
    std::wstring text(bytes.size() / 2, L'\0');
    if (!text.empty()) std::memcpy(&text[0], bytes.data(), text.size() * 2);
    return text;
}

// One connection: the library's messages read as one byte stream.
class Connection {
public:
    explicit Connection(HANDLE pipe) : pipe_(pipe) {}

    bool read(void* out, size_t count) {
        while (buffer_.size() - position_ < count) {
            if (position_ > 0) {
                buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(position_));
                position_ = 0;
            }
            unsigned char chunk[4096];
            for (;;) {
                DWORD got = 0;
                BOOL ok = ReadFile(pipe_, chunk, sizeof chunk, &got, nullptr);
                buffer_.insert(buffer_.end(), chunk, chunk + got);
                if (ok) break;
                if (GetLastError() != ERROR_MORE_DATA) return false;
            }
        }
        std::memcpy(out, buffer_.data() + position_, count);
        position_ += count;
        return true;
    }
    bool word(DWORD& value) { return read(&value, sizeof value); }
    bool block(Bytes& out) {
        DWORD length = 0;
        if (!word(length) || length > maxBlock) return false;
        out.assign(length, 0);
        return length == 0 || read(out.data(), length);
    }
    bool text(std::wstring& out) {
        Bytes bytes;
        if (!block(bytes)) return false;
        out = textOf(bytes);
        return true;
    }

    bool writeMessage(const void* data, DWORD size) {
        DWORD written = 0;
        return WriteFile(pipe_, data, size, &written, nullptr) && written == size;
    }
    bool reply(DWORD status, const void* text, DWORD length) {
        return writeMessage(&status, 4) && writeMessage(&length, 4) &&
               (status == 0 || status == 2 || length == 0 || writeMessage(text, length));
    }
    bool reply(DWORD status, const std::wstring& text) {
        return reply(status, text.data(), static_cast<DWORD>(text.size() * 2));
    }

private:
    HANDLE pipe_;
    Bytes buffer_;
    size_t position_ = 0;
};

struct ChildWatch {
    UniqueHandle process;
    DWORD id;
};

DWORD WINAPI watchChild(LPVOID parameter) {
    std::unique_ptr<ChildWatch> watch(static_cast<ChildWatch*>(parameter));
    WaitForSingleObject(watch->process.get(), INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(watch->process.get(), &code);
    logLine(L"exit child=" + std::to_wstring(watch->id) + L" code=" + std::to_wstring(code));
    return 0;
}

HANDLE handleOf(DWORD value) { return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value)); }

// Copies of the caller's three handles, here; empty on failure.
bool takeHandles(HANDLE caller, const DWORD* values, UniqueHandle (&copies)[3]) {
    for (int i = 0; i < 3; ++i) {
        if (!DuplicateHandle(caller, handleOf(values[i]), GetCurrentProcess(), copies[i].put(), 0, FALSE,
                             DUPLICATE_SAME_ACCESS))
            return false;
    }
    return true;
}

// Starts the command; the process's handle and id, or the error.
DWORD startChild(std::wstring command, const std::wstring& directory, std::wstring environment,
                 UniqueHandle (&streams)[3], UniqueProcessInformation& child) {
    environment.append(2, L'\0');  // ended however the block came
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = streams[0].get();
    startup.hStdOutput = streams[1].get();
    startup.hStdError = streams[2].get();
    command.push_back(L'\0');
    CriticalSectionLock locked(createLock);
    for (UniqueHandle& stream : streams) SetHandleInformation(stream.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    // Wine's CreateProcessW now and then fails with 1359 (internal error)
    // while other processes start and end: that is no answer for a caller.
    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < 3; ++attempt) {
        BOOL ok = CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                                 &environment[0], directory.empty() ? nullptr : directory.c_str(), &startup,
                                 child.put());
        error = ok ? ERROR_SUCCESS : GetLastError();
        if (error != ERROR_INTERNAL_ERROR) break;
    }
    for (UniqueHandle& stream : streams) stream.reset();
    return error;
}

std::wstring errorText(const wchar_t* what, DWORD error) {
    return std::wstring(what) + L" (error " + std::to_wstring(error) + L")";
}

// One launch; false when the connection is to end.
bool serveLaunch(Connection& connection) {
    DWORD first = 0, second = 0;
    if (!connection.word(first) || !connection.word(second)) return false;
    if (first != 1 || second != 3) {
        std::fwprintf(stderr, L"runassrv: expected the words 1 and 3, got %lu and %lu\n", first, second);
        return false;
    }
    Bytes sid, info;
    if (!connection.block(sid) || !connection.block(info)) return false;
    if (info.size() != 24) {
        std::fwprintf(stderr, L"runassrv: expected a block of 24 bytes, got %u\n", static_cast<unsigned>(info.size()));
        return false;
    }
    DWORD values[6];
    std::memcpy(values, info.data(), sizeof values);
    logLine(L"request sid=" + sidText(sid) + L" caller=" + std::to_wstring(values[0]) + L" thread=" +
            std::to_wstring(values[1]) + L" flag=" + std::to_wstring(values[5]));
    if (options.fault == L"error") return connection.reply(failureStatus, L"Injected failure");

    UniqueHandle caller(OpenProcess(PROCESS_DUP_HANDLE, FALSE, values[0]));
    if (!caller) return connection.reply(failureStatus, errorText(L"Unable to open the caller", GetLastError()));
    UniqueHandle streams[3];
    if (!takeHandles(caller.get(), values + 2, streams))
        return connection.reply(failureStatus, errorText(L"Unable to take the caller's handles", GetLastError()));
    if (!connection.reply(0, nullptr, 0)) return false;

    Bytes zero;
    std::wstring command, directory, environment;
    if (!connection.block(zero) || !connection.text(command) || !connection.text(directory) ||
        !connection.text(environment))
        return false;
    if (options.delay) Sleep(options.delay);
    if (options.fault == L"error-final") return connection.reply(failureStatus, L"Injected failure");
    if (options.fault == L"length") return connection.reply(1, L"no handle");
    if (options.fault == L"zero-status") return connection.reply(0, nullptr, 0);
    if (options.fault == L"huge") return connection.writeMessage(&one, 4) && connection.writeMessage(&huge, 4);
    const DWORD fixed = options.fault == L"self" ? 0xFFFFFFFF : options.fault == L"thread" ? 0xFFFFFFFE : 0;
    if (fixed || options.fault == L"null") return connection.reply(1, &fixed, sizeof fixed);
    if (options.fault == L"event") {
        UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        HANDLE remote = nullptr;
        DuplicateHandle(GetCurrentProcess(), event.get(), caller.get(), &remote, 0, FALSE, DUPLICATE_SAME_ACCESS);
        const DWORD value = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(remote));
        return connection.reply(1, &value, sizeof value);
    }

    UniqueProcessInformation child;
    DWORD error = startChild(command, directory, environment, streams, child);
    if (error != ERROR_SUCCESS)
        return connection.reply(failureStatus, errorText((L"Unable to start " + command).c_str(), error));
    HANDLE remote = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), child.get().hProcess, caller.get(), &remote, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return connection.reply(failureStatus, errorText(L"Unable to hand over the process", GetLastError()));
    DWORD zeroValue = 0xFFFFFFFF;
    if (zero.size() == 4) std::memcpy(&zeroValue, zero.data(), 4);
    logLine(L"launch child=" + std::to_wstring(child.get().dwProcessId) + L" zero=" + std::to_wstring(zeroValue) +
            L" directory=" + directory + L" command=" + command);
    std::unique_ptr<ChildWatch> watch(new ChildWatch{UniqueHandle(), child.get().dwProcessId});
    HANDLE own = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), child.get().hProcess, GetCurrentProcess(), &own,
                        SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0))
        watch->process.reset(own);
    UniqueHandle watcher(CreateThread(nullptr, 0, watchChild, watch.get(), 0, nullptr));
    if (watcher) watch.release();  // the watcher deletes it
    const DWORD value = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(remote));
    if (connection.reply(1, &value, sizeof value)) return true;
    // The caller never learns the handle: it is closed there again (moved
    // here and closed; Wine ignores a close without a target process).
    UniqueHandle back;
    DuplicateHandle(caller.get(), remote, GetCurrentProcess(), back.put(), 0, FALSE,
                    DUPLICATE_CLOSE_SOURCE | DUPLICATE_SAME_ACCESS);
    logLine(L"undelivered child=" + std::to_wstring(child.get().dwProcessId));
    return false;
}

DWORD WINAPI clientThread(LPVOID parameter) {
    UniqueHandle pipe(static_cast<HANDLE>(parameter));
    try {
        if (options.fault == L"hangup") return 0;
        Connection connection(pipe.get());
        for (long served = 0; serveLaunch(connection);)
            if (++served == options.closeAfter) break;
    } catch (...) {  // nothing may unwind into the system's thread start
        std::fwprintf(stderr, L"runassrv: out of memory serving a client\n");
    }
    return 0;
}

HANDLE newInstance(bool first) {
    return CreateNamedPipeW(options.pipe.c_str(), PIPE_ACCESS_DUPLEX | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, 65536,
                            65536, 0, nullptr);
}

void setReady() {
    if (options.readyEvent.empty()) return;
    UniqueHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, options.readyEvent.c_str()));
    if (!ready) ready.reset(CreateEventW(nullptr, TRUE, FALSE, options.readyEvent.c_str()));
    if (ready) SetEvent(ready.get());
}

DWORD WINAPI acceptClients(LPVOID) {
    UniqueHandle instance(newInstance(true));
    if (!instance) {
        std::fwprintf(stderr, L"runassrv: cannot serve %ls (error %lu; another server may own it)\n",
                      options.pipe.c_str(), GetLastError());
        ExitProcess(1);
    }
    for (bool first = true;; first = false) {
        if (!first) instance.reset(newInstance(false));
        if (!instance) {
            std::fwprintf(stderr, L"runassrv: CreateNamedPipe failed (error %lu)\n", GetLastError());
            Sleep(100);
            continue;
        }
        if (first) setReady();
        if (ConnectNamedPipe(instance.get(), nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
            UniqueHandle thread(CreateThread(nullptr, 0, clientThread, instance.get(), 0, nullptr));
            if (thread) instance.release();  // the client thread owns it now
        }
        instance.reset();
    }
}

bool parse(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        auto next = [&](std::wstring& value) {
            if (i + 1 >= argc) return false;
            value = argv[++i];
            return true;
        };
        std::wstring value;
        if (arg == L"--pipe") {
            if (!next(options.pipe)) return false;
        } else if (arg == L"--fault") {
            if (!next(options.fault)) return false;
        } else if (arg == L"--close-after") {
            if (!next(value)) return false;
            options.closeAfter = std::wcstol(value.c_str(), nullptr, 10);
        } else if (arg == L"--delay") {
            if (!next(value)) return false;
            options.delay = std::wcstoul(value.c_str(), nullptr, 10);
        } else if (arg == L"--log") {
            if (!next(options.log)) return false;
        } else if (arg == L"--ready-event") {
            if (!next(options.readyEvent)) return false;
        } else if (arg == L"--stop-event") {
            if (!next(options.stopEvent)) return false;
        } else if (arg == L"--parent") {
            if (!next(value)) return false;
            options.parent = std::wcstoul(value.c_str(), nullptr, 10);
        } else if (arg == L"--quiet") {
            options.quiet = true;
        } else if (arg == L"--stop") {
            options.stop = true;
        } else {
            return false;
        }
    }
    static const wchar_t* const faults[] = {L"",     L"error",  L"error-final", L"length", L"zero-status", L"self",
                                            L"thread", L"null", L"event",       L"huge",   L"hangup"};
    bool known = false;
    for (const wchar_t* fault : faults) known = known || options.fault == fault;
    return known;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wcscmp(argv[1], L"--help") == 0) {
        std::fwprintf(stdout, L"%ls", usage);
        return 0;
    }
    if (!parse(argc, argv)) {
        std::fwprintf(stderr, L"%ls", usage);
        return 2;
    }
    if (options.stop) {
        UniqueHandle stop(OpenEventW(EVENT_MODIFY_STATE, FALSE, options.stopEvent.c_str()));
        if (!stop) {
            std::fwprintf(stderr, L"runassrv: no stand-in is running for %ls\n", options.stopEvent.c_str());
            return 1;
        }
        SetEvent(stop.get());
        return 0;
    }
    registerImage(L"OrvexRunAsService", L"runassrv");
    UniqueHandle stopEvent(CreateEventW(nullptr, TRUE, FALSE, options.stopEvent.c_str())), parent;
    if (options.parent) {
        parent.reset(OpenProcess(SYNCHRONIZE, FALSE, options.parent));
        if (!parent) return 1;  // already gone
    }
    HANDLE waits[2] = {stopEvent.get(), parent.get()};
    const DWORD count = parent ? 2 : 1;
    UniqueHandle acceptor(CreateThread(nullptr, 0, acceptClients, nullptr, 0, nullptr));
    if (!stopEvent || !acceptor) return 1;
    if (!options.quiet) {
        std::fwprintf(stdout, L"runassrv: serving %ls%ls%ls\n", options.pipe.c_str(),
                      options.fault.empty() ? L"" : L", fault ", options.fault.c_str());
        std::fflush(stdout);
    }
    WaitForMultipleObjects(count, waits, FALSE, INFINITE);
    // Ends every connection; children already started run on.
    ExitProcess(0);
}
