#include "runtime/log.h"

#include <cstdarg>
#include <cstdio>

#include "runtime/executecontext.h"
#include "runtime/registry.h"
#include "runtime/secrets.h"
#include "runtime/sysobjects.h"
#include "runtime/text.h"

namespace {

const wchar_t eventLogName[] = L"Orvex";
const wchar_t eventLogRoot[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\";
const wchar_t eventLogMutex[] = L"{F485C63C-FF60-4c1a-A4BF-A3958C9F3D32}";
const DWORD eventLogMutexTimeoutMs = 2000;

// The shared table; null only when the context cannot be allocated.
unsigned char* switches() {
    ExecuteContext* context = getExecuteContext();
    return context ? context->logSwitches() : nullptr;
}

// Levels above Crash are written as errors: they follow Crash's switches.
bool switchedOn(int firstByte, LogLevel level) {
    const unsigned char* table = switches();
    const int row = level < LogSwitches::levels ? level : Crash;
    return table && table[firstByte + row];
}

WORD eventType(LogLevel level) {
    switch (level) {
    case Info: return EVENTLOG_INFORMATION_TYPE;
    case Warning: return EVENTLOG_WARNING_TYPE;
    case Result: return EVENTLOG_SUCCESS;
    default: return EVENTLOG_ERROR_TYPE;
    }
}

std::wstring fileName(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

}  // namespace

LogManager& LogManager::instance() {
    static LogManager manager;
    return manager;
}

LogManager::LogManager() {
    ExecuteContext* context = getExecuteContext();
    if (!context || context->hasLogSwitches()) return;
    unsigned char* table = context->logSwitches();
    if (!table) return;
    const bool consoleDefaults[LogSwitches::levels] = {false, false, true, true, true, true};
    for (int level = 0; level < LogSwitches::levels; ++level) {
        table[LogSwitches::console + level] = consoleDefaults[level];
        table[LogSwitches::eventLog + level] = level >= Error || isDebugMode();
    }
}

LogManager::~LogManager() = default;

void LogManager::addListener(std::unique_ptr<LogListener> listener) { listeners_.push_back(std::move(listener)); }

bool LogManager::wanted(LogLevel level) const {
    return switchedOn(LogSwitches::eventLog, level) || switchedOn(LogSwitches::console, level) || !listeners_.empty();
}

void LogManager::log(LogLevel level, const std::wstring& plain) {
    try {
        // A password the library put into a statement never reaches a sink.
        const std::wstring text = maskSecrets(plain);
        if (switchedOn(LogSwitches::eventLog, level)) reportEvent(level, text);
        if (switchedOn(LogSwitches::console, level)) writeConsole(text);
        for (auto& listener : listeners_) listener->log(level, text);
    } catch (...) {
    }
}

void LogManager::log(LogLevel level, const vexception& plain) {
    vexception error = plain;
    maskSecrets(error);
    bool reportFailed = false;
    if (switchedOn(LogSwitches::eventLog, level)) reportFailed = !reportEvent(level, error.fullText());
    if (switchedOn(LogSwitches::console, level))
        writeConsole(reportFailed || isDebugMode() ? error.fullText() : error.text());
    for (auto& listener : listeners_) listener->log(level, error);
}

HANDLE LogManager::getEventLog() {
    if (eventSource_) return eventSource_.get();
    std::wstring messageFile = registry::getstr(ConfigKey::root(), ConfigKey::subKey(), L"OrvexService", REG_SZ);
    if (sourceName_.empty()) sourceName_ = fileName(moduleName(nullptr));
    eventSource_ = registerEventSource(sourceName_, messageFile);
    if (!eventSource_) throwOSError(L"RegisterEventSource", GetLastError(), VLOCATION("LogManager::getEventLog"));
    return eventSource_.get();
}

bool LogManager::reportEvent(LogLevel level, const std::wstring& text) {
    try {
        HANDLE source = getEventLog();
        wchar_t host[261] = L"";
        GetModuleFileNameW(nullptr, host, 261);
        const wchar_t* strings[] = {text.c_str(), host};
        if (ReportEventW(source, eventType(level), 0, 1, nullptr, 2, 0, strings, nullptr)) return true;
        // Register afresh, keys included, at the next report.
        eventSource_.reset();
    } catch (...) {
    }
    return false;
}

void LogManager::writeConsole(const std::wstring& text) {
    try {
        std::string utf8 = cstr(text, CP_UTF8);
        unsigned char* table = switches();
        if (!table) return;
        // Separators go between lines: none before the process's first, none after its last.
        if (table[LogSwitches::consoleStarted])
            std::printf("\n");
        else
            table[LogSwitches::consoleStarted] = 1;
        std::printf("%s", utf8.c_str());
        std::fflush(stdout);
    } catch (...) {
    }
}

void logMessage(LogLevel level, const wchar_t* format, ...) {
    // Formatting costs more than the check: skip it for a level nobody takes.
    if (!format || !LogManager::instance().wanted(level)) return;
    std::wstring text;
    va_list args;
    va_start(args, format);
    try {
        text = vaformat(format, args);
    } catch (...) {
        va_end(args);
        return;
    }
    va_end(args);
    LogManager::instance().log(level, text);
}

void ensureEventLog(const std::wstring& logName) {
    const std::wstring subKey = eventLogRoot + logName;
    if (registry::keyExists(HKEY_LOCAL_MACHINE, subKey)) return;
    RegKey log(HKEY_LOCAL_MACHINE, subKey, KEY_ALL_ACCESS, false);
    registry::set(log, L"MaxSize", 0x800000);
    registry::set(log, L"Retention", 0);
}

UniqueEventSource registerEventSource(const std::wstring& sourceName, const std::wstring& messageFile) {
    // Another process that holds the mutex must not hang a log write: the
    // registration gives up, the report fails and the message reaches the
    // console only; the next report tries again.
    ExclusiveTask registration;
    registration.acquire(eventLogMutex, eventLogMutexTimeoutMs, VLOCATION("registerEventSource"));
    ensureEventLog(eventLogName);
    // Never take over a source of the same name in the Application log.
    std::wstring name = sourceName;
    if (registry::keyExists(HKEY_LOCAL_MACHINE, eventLogRoot + std::wstring(L"Application\\") + sourceName))
        name = L"Orvex:  " + sourceName;
    {
        RegKey source(HKEY_LOCAL_MACHINE, eventLogRoot + std::wstring(eventLogName) + L"\\" + name, KEY_SET_VALUE,
                      false);
        registry::set(source, L"TypesSupported", 7);
        registry::set(source, L"EventMessageFile", messageFile);
    }
    return UniqueEventSource(RegisterEventSourceW(nullptr, name.c_str()));
}
