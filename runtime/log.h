// Process-wide logging to the console (UTF-8) and the "Orvex" event log,
// by per-level switches kept in the shared execute context.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "runtime/exceptions.h"
#include "runtime/owners.h"

enum LogLevel : unsigned char { Info = 0, Warning = 1, Result = 2, Error = 3, Unexpected = 4, Crash = 5 };

// Layout of the 13 switch bytes in the execute context.
namespace LogSwitches {
constexpr int levels = 6;
constexpr int console = 0;          // + level
constexpr int eventLog = levels;    // + level
constexpr int consoleStarted = 12;  // set once the first console line is out
constexpr int size = 13;
}  // namespace LogSwitches

class LogListener {
public:
    virtual ~LogListener() = default;
    virtual void log(LogLevel level, const vexception& error) = 0;
    virtual void log(LogLevel level, const std::wstring& text) = 0;
};

class LogManager {
public:
    // The manager of the process, built on first use.
    static LogManager& instance();

    // Writes the default switches unless the execute context already has a
    // table (another module's, which is then shared as it is). Library code
    // uses instance(); a separate manager holds its own event source.
    LogManager();
    ~LogManager();
    LogManager(const LogManager&) = delete;
    LogManager& operator=(const LogManager&) = delete;

    // Whether a message of this level goes anywhere (a switch or a listener).
    bool wanted(LogLevel level) const;
    // Never throws.
    void log(LogLevel level, const std::wstring& text);
    // Lets through only a failure to build the text.
    void log(LogLevel level, const vexception& error);
    // The registered event source, registering it when none is held.
    HANDLE getEventLog();
    void addListener(std::unique_ptr<LogListener> listener);

private:
    bool reportEvent(LogLevel level, const std::wstring& text);
    void writeConsole(const std::wstring& text);

    UniqueEventSource eventSource_;
    std::wstring sourceName_;
    std::vector<std::unique_ptr<LogListener>> listeners_;
};

// Formats with vaformat and logs through the manager; never throws.
void logMessage(LogLevel level, const wchar_t* format, ...);

// Registers the event source under the log "Orvex", creating its keys, under
// the machine-wide event-log mutex. Empty when RegisterEventSourceW fails;
// a vexception when the mutex is not free within 2 seconds.
UniqueEventSource registerEventSource(const std::wstring& sourceName, const std::wstring& messageFile);
// Creates the event log's key with its size and retention unless it exists.
void ensureEventLog(const std::wstring& logName);
