// orvexsrv: a stand-in for the panel's management service, for tests and
// demos. It answers the three requests of the library's service client on a
// message-mode named pipe from a plain key/value file, and can be told to
// answer wrongly. It is a peer of the library, not a user of it: the few wire
// helpers below are written out here on purpose.
//
// Wire format, every integer 32-bit little-endian:
//   request  message 1: N (4 bytes)     message 2: the N-byte body
//   answer   message 1: M (4 bytes)     message 2: the M-byte body (none when M is 0)
//   body     a sequence of blobs: length L, then L bytes
//   request body   blob of 16 bytes (the request GUID, Windows memory layout),
//                  then one string blob per argument
//   string blob    first byte the character size (1: ANSI code page, 2:
//                  UTF-16LE), then the characters, no terminator
//   failure        length 0xFFFFFFFF, then a string blob with the message
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

#include "runtime/owners.h"
#include "tools/registerimage.h"

namespace {

const wchar_t* const usage =
    L"usage: orvexsrv [options] FILE\n"
    L"       orvexsrv --stop [--pipe NAME | --stop-event NAME]\n"
    L"\n"
    L"Serves the management-service requests getString, getPassword and setPassword\n"
    L"on a message-mode named pipe, one thread per client.\n"
    L"\n"
    L"FILE is UTF-8 text, one entry a line ('#' starts a comment line):\n"
    L"  param NAME=VALUE       answered to getString(NAME)\n"
    L"  password NAME=VALUE    answered to getPassword(NAME); setPassword rewrites\n"
    L"                         or appends the line in FILE\n"
    L"An unknown name is answered with the failure marker and a message.\n"
    L"\n"
    L"options:\n"
    L"  --pipe NAME         pipe to serve (default \\\\.\\pipe\\hvcpipe)\n"
    L"  --fault KIND        answer every request wrongly:\n"
    L"                        zero          answer length 0, no body\n"
    L"                        charsize3     string blob with character size 3\n"
    L"                        truncated     string blob longer than the body\n"
    L"                        short         answer length 8 more than the body sent\n"
    L"                        error         failure marker, message \"Injected failure\"\n"
    L"                        double-error  failure marker, then a malformed message\n"
    L"                        narrow        value sent as character size 1 (ANSI)\n"
    L"                        random        random bytes of random length (0-64)\n"
    L"                        oversized     answer length 16 MiB more than the body\n"
    L"  --close-after N     close a connection after answering N requests\n"
    L"  --busy MS           keep every pipe instance busy for MS ms before serving\n"
    L"                      (-1: until stopped); clients see ERROR_PIPE_BUSY\n"
    L"  --log FILE          append each message received, in hex, one a line\n"
    L"  --ready-event NAME  set this event once clients can connect\n"
    L"  --stop-event NAME   stop when this event is set (default: orvexsrv-stop-\n"
    L"                      and the last part of the pipe name)\n"
    L"  --parent PID        stop when that process ends\n"
    L"  --quiet             print nothing but errors\n"
    L"  --stop              set the stop event of a running stand-in and exit\n"
    L"On start it writes its own path into the configuration value OrvexService,\n"
    L"so that the library accepts it as the management service.\n";

// {AD3EBC3C-E6B9-4FCF-ABB9-ED1B3D524F22}, {50A1A607-50B9-4DB3-92EC-B940EB87F8FF},
// {34D9F754-8BE8-46FE-9CF2-3AFDBE4E8DD8}
const GUID getStringRequest = {0xAD3EBC3C, 0xE6B9, 0x4FCF, {0xAB, 0xB9, 0xED, 0x1B, 0x3D, 0x52, 0x4F, 0x22}};
const GUID getPasswordRequest = {0x50A1A607, 0x50B9, 0x4DB3, {0x92, 0xEC, 0xB9, 0x40, 0xEB, 0x87, 0xF8, 0xFF}};
const GUID setPasswordRequest = {0x34D9F754, 0x8BE8, 0x46FE, {0x9C, 0xF2, 0x3A, 0xFD, 0xBE, 0x4E, 0x8D, 0xD8}};

const DWORD maxBody = 64u << 20;

using Bytes = std::vector<unsigned char>;

struct Options {
    std::wstring file;
    std::wstring pipe = L"\\\\.\\pipe\\hvcpipe";
    std::wstring fault;
    long closeAfter = 0;
    long busy = 0;
    std::wstring log;
    std::wstring readyEvent;
    std::wstring stopEvent;
    DWORD parent = 0;
    bool quiet = false;
    bool stop = false;
} options;

CriticalSection lock;            // the store, the file and the log
std::vector<std::string> lines;  // the file as read, UTF-8, kept for rewriting
std::map<std::wstring, std::wstring> params, passwords;

struct Locked {
    CriticalSectionLock held{lock};
};

// ---- wire helpers

void putU32(Bytes& out, DWORD value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

void putString(Bytes& out, const std::wstring& text, unsigned char charSize = 2) {
    putU32(out, static_cast<DWORD>(text.size() * 2 + 1));
    out.push_back(charSize);
    const unsigned char* chars = reinterpret_cast<const unsigned char*>(text.data());  // UTF-16LE as it lies
    out.insert(out.end(), chars, chars + text.size() * 2);
}

void putNarrowString(Bytes& out, const std::string& text) {
    putU32(out, static_cast<DWORD>(text.size() + 1));
    out.push_back(1);
    out.insert(out.end(), text.begin(), text.end());
}

void putFailure(Bytes& out, const std::wstring& message) {
    putU32(out, 0xFFFFFFFF);
    putString(out, message);
}

struct Reader {
    const Bytes& bytes;
    size_t position = 0;

    bool u32(DWORD& value) {
        if (bytes.size() - position < 4) return false;
        value = bytes[position] | bytes[position + 1] << 8 | bytes[position + 2] << 16 |
                static_cast<DWORD>(bytes[position + 3]) << 24;
        position += 4;
        return true;
    }
    bool blob(Bytes& out) {
        DWORD size = 0;
        if (!u32(size) || bytes.size() - position < size) return false;
        out.assign(bytes.begin() + static_cast<long>(position), bytes.begin() + static_cast<long>(position + size));
        position += size;
        return true;
    }
    bool string(std::wstring& out) {
        Bytes blob;
        if (!this->blob(blob) || blob.empty()) return false;
        if (blob[0] == 2) {
            out.assign((blob.size() - 1) / 2, L'\0');
            if (!out.empty()) std::memcpy(&out[0], blob.data() + 1, out.size() * 2);
            return true;
        }
        if (blob[0] != 1) return false;
        std::string narrow(blob.begin() + 1, blob.end());
        out.assign(narrow.size(), L'\0');
        int n = narrow.empty() ? 0
                               : MultiByteToWideChar(CP_ACP, 0, narrow.data(), static_cast<int>(narrow.size()), &out[0],
                                                     static_cast<int>(out.size()));
        out.resize(static_cast<size_t>(n));
        return true;
    }
};

// ---- text and the store

std::wstring fromUtf8(const std::string& text) {
    if (text.empty()) return std::wstring();
    std::wstring out(text.size(), L'\0');
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0],
                                static_cast<int>(out.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string toCodePage(const std::wstring& text, UINT codePage) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

// One entry line: kind, name and value; false for comments and blank lines.
bool parseLine(const std::string& line, std::string& kind, std::wstring& name, std::wstring& value) {
    size_t blank = line.find(' ');
    size_t equals = line.find('=');
    if (line.empty() || line[0] == '#' || blank == std::string::npos || equals == std::string::npos || equals < blank)
        return false;
    kind = line.substr(0, blank);
    name = fromUtf8(line.substr(blank + 1, equals - blank - 1));
    value = fromUtf8(line.substr(equals + 1));
    return kind == "param" || kind == "password";
}

bool loadFile() {
    FILE* file = _wfopen(options.file.c_str(), L"rb");
    if (!file) return false;
    std::string text;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
    std::fclose(file);
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    for (const std::string& line : lines) {
        std::string kind;
        std::wstring name, value;
        if (parseLine(line, kind, name, value)) (kind == "param" ? params : passwords)[name] = value;
    }
    return true;
}

// Under the lock. Written beside the file, then moved over it.
void storePassword(const std::wstring& name, const std::wstring& value) {
    passwords[name] = value;
    std::string entry = "password " + toCodePage(name, CP_UTF8) + "=" + toCodePage(value, CP_UTF8);
    bool replaced = false;
    for (std::string& line : lines) {
        std::string kind;
        std::wstring lineName, lineValue;
        if (parseLine(line, kind, lineName, lineValue) && kind == "password" && lineName == name) {
            line = entry;
            replaced = true;
        }
    }
    if (!replaced) lines.push_back(entry);
    std::wstring temporary = options.file + L".new";
    FILE* file = _wfopen(temporary.c_str(), L"wb");
    if (!file) return;
    for (const std::string& line : lines) std::fprintf(file, "%s\n", line.c_str());
    std::fclose(file);
    MoveFileExW(temporary.c_str(), options.file.c_str(), MOVEFILE_REPLACE_EXISTING);
}

void logMessage(const Bytes& message) {
    if (options.log.empty()) return;
    std::string line;
    char hex[3];
    for (unsigned char byte : message) {
        std::snprintf(hex, sizeof hex, "%02X", byte);
        line += hex;
    }
    line += "\n";
    Locked locked;
    FILE* file = _wfopen(options.log.c_str(), L"ab");
    if (file) {
        std::fwrite(line.data(), 1, line.size(), file);
        std::fclose(file);
    }
}

// ---- requests

// The answer's string with the fault, if any, applied.
Bytes answerString(const std::wstring& value) {
    Bytes body;
    const std::wstring& fault = options.fault;
    if (fault == L"charsize3") {
        putString(body, value, 3);
    } else if (fault == L"truncated") {
        putString(body, value);
        body.resize(body.size() > 6 ? body.size() - 2 : 4);
    } else if (fault == L"error") {
        putFailure(body, L"Injected failure");
    } else if (fault == L"double-error") {
        putU32(body, 0xFFFFFFFF);
        putString(body, L"Injected failure", 3);
    } else if (fault == L"narrow") {
        putNarrowString(body, toCodePage(value, CP_ACP));
    } else if (fault == L"random") {
        // A fixed sequence, so that a failing run can be repeated.
        static unsigned long state = 12345;
        auto next = [] { return state = state * 1103515245 + 12345, static_cast<unsigned char>(state >> 16); };
        body.resize(next() % 65);
        for (unsigned char& byte : body) byte = next();
    } else {
        putString(body, value);
    }
    return body;
}

Bytes handle(const Bytes& request) {
    Reader reader{request};
    Bytes id;
    Bytes body;
    std::wstring name, value;
    if (!reader.blob(id) || id.size() != sizeof(GUID) || !reader.string(name)) {
        putFailure(body, L"Malformed request");
        return body;
    }
    GUID request_id;
    std::memcpy(&request_id, id.data(), sizeof request_id);
    Locked locked;
    if (IsEqualGUID(request_id, getStringRequest) || IsEqualGUID(request_id, getPasswordRequest)) {
        bool password = IsEqualGUID(request_id, getPasswordRequest);
        auto& store = password ? passwords : params;
        auto found = store.find(name);
        if (found != store.end())
            body = answerString(found->second);
        else
            putFailure(body, (password ? L"Password not found: " : L"Parameter not found: ") + name);
    } else if (IsEqualGUID(request_id, setPasswordRequest)) {
        if (reader.string(value)) {
            storePassword(name, value);
            putU32(body, 0);
        } else {
            putFailure(body, L"Malformed request");
        }
    } else {
        putFailure(body, L"Unknown request");
    }
    return body;
}

// ---- the pipe

// One whole message; false when the client has gone.
bool readMessage(HANDLE pipe, Bytes& message) {
    message.clear();
    unsigned char chunk[4096];
    for (;;) {
        DWORD got = 0;
        BOOL ok = ReadFile(pipe, chunk, sizeof chunk, &got, nullptr);
        message.insert(message.end(), chunk, chunk + got);
        if (ok) return true;
        if (GetLastError() != ERROR_MORE_DATA || message.size() > maxBody) return false;
    }
}

bool writeMessage(HANDLE pipe, const void* data, DWORD size) {
    DWORD written = 0;
    return WriteFile(pipe, data, size, &written, nullptr) && written == size;
}

bool answer(HANDLE pipe, const Bytes& body) {
    DWORD announced = static_cast<DWORD>(body.size());
    if (options.fault == L"zero") announced = 0;
    if (options.fault == L"short") announced += 8;
    if (options.fault == L"oversized") announced += 0x1000000;
    Bytes length;
    putU32(length, announced);
    if (!writeMessage(pipe, length.data(), 4)) return false;
    return announced == 0 || writeMessage(pipe, body.data(), static_cast<DWORD>(body.size()));
}

// Answers one client's requests until it goes or the fault ends the connection.
void serve(HANDLE pipe) {
    Bytes length, body;
    for (long served = 0;;) {
        if (!readMessage(pipe, length)) break;
        logMessage(length);
        DWORD n = 0;
        if (length.size() != 4 || !Reader{length}.u32(n) || n > maxBody) {
            std::fwprintf(stderr, L"orvexsrv: expected a 4-byte length message, got %u bytes\n",
                          static_cast<unsigned>(length.size()));
            break;
        }
        if (!readMessage(pipe, body)) break;
        logMessage(body);
        if (body.size() != n) {
            std::fwprintf(stderr, L"orvexsrv: announced %lu body bytes, got %u\n", n,
                          static_cast<unsigned>(body.size()));
            break;
        }
        if (!answer(pipe, handle(body))) break;
        if (++served == options.closeAfter) break;
    }
}

DWORD WINAPI clientThread(LPVOID parameter) {
    // Closing without DisconnectNamedPipe lets the client read what is still queued.
    UniqueHandle pipe(static_cast<HANDLE>(parameter));
    try {
        serve(pipe.get());
    } catch (...) {  // nothing may unwind into the system's thread start
        std::fwprintf(stderr, L"orvexsrv: out of memory serving a client\n");
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
    // The waiter holds its own handle: ours may close at once.
    UniqueHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, options.readyEvent.c_str()));
    if (!ready) ready.reset(CreateEventW(nullptr, TRUE, FALSE, options.readyEvent.c_str()));
    if (ready) SetEvent(ready.get());
}

DWORD WINAPI acceptClients(LPVOID) {
    UniqueHandle instance(newInstance(true));
    if (!instance) {
        std::fwprintf(stderr, L"orvexsrv: cannot serve %ls (error %lu; another server may own it)\n",
                      options.pipe.c_str(), GetLastError());
        ExitProcess(1);
    }
    // Busy: our own client occupies the only instance, so no instance listens.
    UniqueHandle busyClient;
    if (options.busy != 0) {
        busyClient.reset(
            CreateFileW(options.pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ConnectNamedPipe(instance.get(), nullptr);
        setReady();
        Sleep(options.busy < 0 ? INFINITE : static_cast<DWORD>(options.busy));
    }
    for (bool first = true;; first = false) {
        if (busyClient) {
            // A listening instance exists before the busy one goes, so the pipe never vanishes.
            UniqueHandle listening(newInstance(false));
            busyClient.reset();
            instance = std::move(listening);
        } else if (!first) {
            instance.reset(newInstance(false));
        }
        if (!instance) {
            std::fwprintf(stderr, L"orvexsrv: CreateNamedPipe failed (error %lu)\n", GetLastError());
            Sleep(100);
            continue;
        }
        if (first) setReady();
        if (ConnectNamedPipe(instance.get(), nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
            // The client thread owns the instance from here on.
            UniqueHandle thread(CreateThread(nullptr, 0, clientThread, instance.get(), 0, nullptr));
            if (thread) instance.release();
        }
        instance.reset();
    }
}

std::wstring defaultStopEvent(const std::wstring& pipe) {
    size_t slash = pipe.find_last_of(L"\\/");
    return L"orvexsrv-stop-" + (slash == std::wstring::npos ? pipe : pipe.substr(slash + 1));
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
        } else if (arg == L"--busy") {
            if (!next(value)) return false;
            options.busy = std::wcstol(value.c_str(), nullptr, 10);
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
        } else if (arg.compare(0, 2, L"--") == 0 || !options.file.empty()) {
            return false;
        } else {
            options.file = arg;
        }
    }
    static const wchar_t* const faults[] = {L"",      L"zero",         L"charsize3", L"truncated", L"short",
                                            L"error", L"double-error", L"narrow",    L"random",    L"oversized"};
    bool known = false;
    for (const wchar_t* fault : faults) known = known || options.fault == fault;
    return known && (options.stop || !options.file.empty());
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
    if (options.stopEvent.empty()) options.stopEvent = defaultStopEvent(options.pipe);

    if (options.stop) {
        UniqueHandle stop(OpenEventW(EVENT_MODIFY_STATE, FALSE, options.stopEvent.c_str()));
        if (!stop) {
            std::fwprintf(stderr, L"orvexsrv: no stand-in is running for %ls\n", options.stopEvent.c_str());
            return 1;
        }
        SetEvent(stop.get());
        return 0;
    }

    if (!loadFile()) {
        std::fwprintf(stderr, L"orvexsrv: cannot read %ls\n", options.file.c_str());
        return 2;
    }
    registerImage(L"OrvexService", L"orvexsrv");
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
        std::fwprintf(stdout, L"orvexsrv: serving %ls (%u parameters, %u passwords)%ls%ls\n", options.pipe.c_str(),
                      static_cast<unsigned>(params.size()), static_cast<unsigned>(passwords.size()),
                      options.fault.empty() ? L"" : L", fault ", options.fault.c_str());
        std::fflush(stdout);
    }
    WaitForMultipleObjects(count, waits, FALSE, INFINITE);
    // Ends every client thread; the system closes the pipe instances.
    ExitProcess(0);
}
