// Shared by the benchmark harnesses: timing, binding exports, paths, and
// the result lines that `./build.sh bench` collects.
//
// Result line: every bench program prints, on standard output, one line per
// benchmark and run, of five fields separated by single spaces:
//
//   HVCBENCH <name> <export> <anchor> <target>
//
//   name    the benchmark, [A-Za-z0-9_.-]+, the same in every run
//   export  the export's cost in this run (time per call, bytes, ...; any
//           unit, as long as lower is better and anchor uses the same)
//   anchor  the cost of the raw operation that the export is compared with,
//           measured in the same run, its rounds or single calls
//           alternating with the export's
//   target  the highest acceptable ratio export/anchor, or "-" for none
//
// Numbers are plain decimals ("%.6g"). Other output lines are ignored by the
// collector. `./build.sh bench` runs every build/x86_64/bin/hvcbench*.exe
// five times, without arguments, in that directory: a new bench program
// joins by its name; one that exits non-zero fails the bench; one that
// prints no result line is left out of the table with a note. The stand-in
// management service on \\.\pipe\hvcpipe and a private MariaDB server are
// already running; the script passes the server's connection file (KEY=VALUE lines,
// scripts/mariadb.sh) in the environment variable HVC_BENCH_DB_ENV and the
// service holds the parameters named in build.sh (the database ones and
// BENCH_PARAMETER). It prints per benchmark the medians of export, anchor
// and ratio and the spread (lowest and highest ratio) of the five runs.
#pragma once

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "runtime/owners.h"

namespace bench {

// One result line (format above); target <= 0 prints "-".
inline void result(const char* name, double exported, double anchor, double target) {
    char limit[32] = "-";
    if (target > 0) std::snprintf(limit, sizeof limit, "%.6g", target);
    std::printf("HVCBENCH %s %.6g %.6g %s\n", name, exported, anchor, limit);
    std::fflush(stdout);
}

template <class F>
double secondsFor(int iterations, F&& f) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < iterations; ++i) f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Median seconds of one call of `exported` and of `anchor`, calls
// alternating (which goes first alternates too), so that load from other
// processes hits both alike and its outliers drop out of the medians.
template <class Exported, class Anchor>
std::pair<double, double> alternatingMedians(int calls, Exported&& exported, Anchor&& anchor) {
    std::vector<double> a, b;
    a.reserve(calls);
    b.reserve(calls);
    auto time = [](auto& f) {
        auto start = std::chrono::steady_clock::now();
        f();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    for (int i = 0; i < calls; ++i) {
        if (i % 2) {
            a.push_back(time(exported));
            b.push_back(time(anchor));
        } else {
            b.push_back(time(anchor));
            a.push_back(time(exported));
        }
    }
    auto median = [](std::vector<double>& v) {
        std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
        return v[v.size() / 2];
    };
    return {median(a), median(b)};
}

// An export by its decorated name; the bench cannot go on without it.
template <class T>
T bind(HMODULE module, const char* name) {
    T proc = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (!proc) {
        std::fprintf(stderr, "missing export %s\n", name);
        std::exit(1);
    }
    return proc;
}

// The DLL next to the bench; the bench cannot go on without it.
inline HMODULE loadLibrary() {
    HMODULE module = LoadLibraryW(L"hvcdmtutils.dll");
    if (!module) {
        std::fprintf(stderr, "cannot load hvcdmtutils.dll (error %lu)\n", GetLastError());
        std::exit(1);
    }
    return module;
}

// The directory of the running bench, where the DLL and orvexsrv.exe lie.
inline std::wstring binDirectory() {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L'\\'));
}

// A stand-in service (orvexsrv.exe, runassrv.exe) next to the bench, started
// with the switches and arguments given; it stops when the bench ends at the
// latest (--parent). The bench cannot go on without it.
class StandIn {
public:
    StandIn(const wchar_t* program, const std::wstring& arguments) {
        static LONG counter = 0;
        const std::wstring suffix = std::to_wstring(GetCurrentProcessId()) + L"-" +
                                    std::to_wstring(InterlockedIncrement(&counter));
        const std::wstring ready = L"hvcbench-ready-" + suffix, stop = L"hvcbench-stop-" + suffix;
        UniqueHandle readyEvent(CreateEventW(nullptr, TRUE, FALSE, ready.c_str()));
        stop_.reset(CreateEventW(nullptr, TRUE, FALSE, stop.c_str()));
        std::wstring line = L"\"" + binDirectory() + L"\\" + program + L"\" --quiet --ready-event " + ready +
                            L" --stop-event " + stop + L" --parent " + std::to_wstring(GetCurrentProcessId()) + L" " +
                            arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info = {};
        if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
            UniqueHandle thread(info.hThread);
            process_.reset(info.hProcess);
        }
        HANDLE waits[2] = {readyEvent.get(), process_.get()};
        if (!process_ || WaitForMultipleObjects(2, waits, FALSE, 20000) != WAIT_OBJECT_0) {
            std::fprintf(stderr, "%ls did not get ready\n", program);
            std::exit(1);
        }
    }
    ~StandIn() {
        SetEvent(stop_.get());
        WaitForSingleObject(process_.get(), 10000);
    }
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;

private:
    UniqueHandle process_, stop_;
};

// A raw client of the management service: one synchronous message-mode
// pipe, requests of the same bytes the library sends (length, then the
// request's identifier and the name as serialised blobs), answers read whole.
class RawService {
public:
    RawService() {
        pipe_.reset(CreateFileW(L"\\\\.\\pipe\\hvcpipe", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                nullptr));
        DWORD mode = PIPE_READMODE_MESSAGE;
        if (pipe_) SetNamedPipeHandleState(pipe_.get(), &mode, nullptr, nullptr);
    }
    bool valid() const { return pipe_.valid(); }

    // getString and getPassword requests; false when the exchange failed.
    bool getString(const std::wstring& name) { return exchange(stringRequest, name); }
    bool getPassword(const std::wstring& name) { return exchange(passwordRequest, name); }

private:
    static constexpr GUID stringRequest = {0xAD3EBC3C, 0xE6B9, 0x4FCF, {0xAB, 0xB9, 0xED, 0x1B, 0x3D, 0x52, 0x4F, 0x22}};
    static constexpr GUID passwordRequest = {0x50A1A607, 0x50B9, 0x4DB3, {0x92, 0xEC, 0xB9, 0x40, 0xEB, 0x87, 0xF8, 0xFF}};

    static void u32(std::string& out, DWORD value) {
        for (int i = 0; i < 4; ++i) out += static_cast<char>(value >> (8 * i));
    }

    bool exchange(const GUID& request, const std::wstring& name) {
        std::string body;
        u32(body, sizeof request);
        body.append(reinterpret_cast<const char*>(&request), sizeof request);
        u32(body, static_cast<DWORD>(name.size() * 2 + 1));
        body += '\2';  // the wide-string tag
        body.append(reinterpret_cast<const char*>(name.data()), name.size() * 2);
        const DWORD length = static_cast<DWORD>(body.size());
        DWORD done = 0, size = 0;
        HANDLE pipe = pipe_.get();
        return WriteFile(pipe, &length, 4, &done, nullptr) && WriteFile(pipe, body.data(), length, &done, nullptr) &&
               ReadFile(pipe, &size, 4, &done, nullptr) && size <= sizeof answer_ &&
               ReadFile(pipe, answer_, size, &done, nullptr) && done == size && size > 0;
    }

    UniqueHandle pipe_;
    char answer_[4096];
};

// The connection file of the bench's database server (HVC_BENCH_DB_ENV, or
// the given path), KEY=VALUE a line; empty when there is none.
inline std::map<std::string, std::string> readConnectionFile(const char* path) {
    std::map<std::string, std::string> values;
    if (!path || !*path) path = std::getenv("HVC_BENCH_DB_ENV");
    if (!path || !*path) return values;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t eq = line.find('=');
        if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

}  // namespace bench
