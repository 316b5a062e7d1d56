// Runs the management-service stand-in (orvexsrv.exe, next to the test
// program) as a separate process for one test, and stops it again. The
// stand-in ends by itself when the test process ends.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "childprocess.h"
#include "testutil.h"

namespace standin {

using childprocess::binDirectory;

// Different for every call in every process.
inline std::wstring uniqueName(const wchar_t* what) {
    static LONG counter = 0;
    return std::wstring(L"hvctest-") + what + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(InterlockedIncrement(&counter));
}

inline std::wstring uniquePipe() { return L"\\\\.\\pipe\\" + uniqueName(L"pipe"); }

const wchar_t* const servicePipe = L"\\\\.\\pipe\\hvcpipe";

inline std::string readFile(const std::wstring& path) {
    std::ostringstream text;
    text << std::ifstream(path.c_str(), std::ios::binary).rdbuf();
    return text.str();
}

inline void writeFile(const std::wstring& path, const std::string& text) {
    std::ofstream(path.c_str(), std::ios::binary) << text;
}

// A stand-in program (orvexsrv.exe, runassrv.exe) of the test directory,
// started with --quiet, a ready event and this process as its parent, so that
// it ends with the test process at the latest. stop() ends it as a crash would.
class StandInProcess {
public:
    ~StandInProcess() { stop(); }

    // Starts the program, after stopping a running one; with waitReady, a
    // program that does not get ready is a test failure.
    void start(const wchar_t* program, std::vector<std::wstring> arguments, bool waitReady = true) {
        stop();
        const std::wstring ready = uniqueName(L"ready");
        UniqueHandle readyEvent(CreateEventW(nullptr, TRUE, FALSE, ready.c_str()));
        arguments.insert(arguments.begin(), {L"--quiet", L"--ready-event", ready, L"--parent",
                                             std::to_wstring(GetCurrentProcessId())});
        process_ = childprocess::start(arguments, nullptr, program);  // errors on our stderr
        HANDLE waits[2] = {readyEvent.get(), process_.get()};
        if (!process_ || (waitReady && WaitForMultipleObjects(2, waits, FALSE, 20000) != WAIT_OBJECT_0)) {
            ADD_FAILURE() << testutil::narrow(program) << " did not get ready";
            stop();
        }
    }
    void stop() {
        if (!process_) return;
        TerminateProcess(process_.get(), 0);
        WaitForSingleObject(process_.get(), 10000);
        process_.reset();
    }
    bool running() const { return process_.valid(); }

private:
    UniqueHandle process_;
};

// Words of a switch string, in order.
inline std::vector<std::wstring> words(const std::wstring& text) {
    std::vector<std::wstring> list;
    std::wistringstream in(text);
    for (std::wstring word; in >> word;) list.push_back(word);
    return list;
}

class Server {
public:
    struct Options {
        std::wstring pipe = servicePipe;
        std::string file;       // the key/value file, UTF-8
        std::wstring switches;  // more command-line switches
        bool log = false;       // record each message received
        bool waitReady = true;
    };

    explicit Server(Options options) : options_(std::move(options)) {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        file_ = temp + uniqueName(L"orvexsrv") + L".txt";
        log_ = file_ + L".log";
        writeFile(file_, options_.file);
        start();
    }
    ~Server() {
        stop();
        DeleteFileW(file_.c_str());
        DeleteFileW(log_.c_str());
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // True once clients can connect.
    bool running() const { return process_.running(); }
    const std::wstring& file() const { return file_; }
    const std::wstring& pipe() const { return options_.pipe; }

    // Messages received so far, one hex line each.
    std::vector<std::string> messages() const {
        std::vector<std::string> lines;
        std::ifstream log(log_.c_str());
        for (std::string line; std::getline(log, line);) lines.push_back(line);
        return lines;
    }

    void start() {
        std::vector<std::wstring> arguments = {L"--pipe", options_.pipe};
        for (const std::wstring& word : words(options_.switches)) arguments.push_back(word);
        if (options_.log) arguments.insert(arguments.end(), {L"--log", log_});
        arguments.push_back(file_);
        process_.start(L"orvexsrv.exe", arguments, options_.waitReady);
    }

    // Ends the stand-in, as a crash would, and waits until it has gone.
    void stop() { process_.stop(); }

private:
    Options options_;
    std::wstring file_, log_;
    StandInProcess process_;
};

}  // namespace standin
