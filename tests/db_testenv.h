// The run's private MariaDB server (scripts/mariadb.sh writes connection.env,
// CTest names it in HVC_TEST_DB_ENV) and helpers of the database suites.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "database/mysql.h"
#include "fsutil.h"
#include "runtime/log.h"
#include "runtime/owners.h"
#include "runtime/text.h"

namespace dbtest {

struct Server {
    std::string why;  // empty when a server is configured
    std::wstring host, name, login, password;
    int port = 0;
    // The ODBC DSN of the server (ODBCINI names its file), or why there is none.
    std::wstring odbcDsn, odbcMissing;
};

inline const Server& server() {
    static const Server server = [] {
        Server s;
        const char* path = std::getenv("HVC_TEST_DB_ENV");
        if (!path || !*path) s.why = "HVC_TEST_DB_ENV is not set";
        std::ifstream file(s.why.empty() ? path : "");
        for (std::string line; std::getline(file, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            std::string key = line.substr(0, line.find('='));
            std::wstring value = wstr(line.substr(std::min(line.size(), key.size() + 1)));
            if (key == "HVC_DB_PORT") s.port = _wtoi(value.c_str());
            for (auto field : {std::make_pair("HVC_DB_HOST", &s.host), std::make_pair("HVC_DB_NAME", &s.name),
                               std::make_pair("HVC_DB_LOGIN", &s.login), std::make_pair("HVC_DB_PASSWORD", &s.password),
                               std::make_pair("HVC_DB_ODBC_DSN", &s.odbcDsn),
                               std::make_pair("HVC_DB_ODBC_MISSING", &s.odbcMissing)})
                if (key == field.first) *field.second = value;
        }
        return s;
    }();
    return server;
}

// Skipped without a configured server; a configured one that cannot be read fails.
#define REQUIRE_TEST_SERVER()                                                                     \
    do {                                                                                          \
        if (!dbtest::server().why.empty()) GTEST_SKIP() << dbtest::server().why;                  \
        ASSERT_TRUE(!dbtest::server().host.empty() && dbtest::server().port > 0) << "bad connection.env"; \
    } while (0)

// An empty value removes the variable, from the C runtime and the process alike.
inline void setEnv(const std::wstring& name, const std::wstring& value) { _wputenv((name + L"=" + value).c_str()); }

inline void clearDbEnvironment() {
    for (const wchar_t* name : {L"ORVEX_DB_HOST", L"ORVEX_DB_LOGIN", L"ORVEX_DB_NAME", L"ORVEX_DB_PASSWD",
                                L"ORVEX_DB_PORT", L"ORVEX_DB_SOCK"})
        setEnv(name, L"");
}

inline void connect(IDatabaseProvider& provider) {
    const Server& s = server();
    provider.connect(s.host, s.name, s.login, s.password, s.port, L"");
}

// First column of the first row, or "(no row)" / "(null)".
inline std::wstring scalar(IDatabaseProvider& provider, const std::wstring& statement) {
    RecordSetRef records(provider.query(statement));
    return records->next() ? records->getValue(0, L"(null)", false) : L"(no row)";
}

// The vexception message that body throws, or "(no exception)".
template <class Body>
std::wstring thrownText(Body&& body) {
    try {
        body();
    } catch (const vexception& e) {
        return e.message();
    }
    return L"(no exception)";
}

// The Info lines this process logs from start() on.
struct LogCapture : LogListener {
    static std::vector<std::wstring>& start() {
        static LogCapture* capture = [] {
            auto* added = new LogCapture;
            LogManager::instance().addListener(std::unique_ptr<LogListener>(added));
            return added;
        }();
        capture->lines.clear();
        return capture->lines;
    }
    void log(LogLevel, const vexception&) override {}
    void log(LogLevel level, const std::wstring& text) override {
        if (level == Info) lines.push_back(text);
    }
    std::vector<std::wstring> lines;
};

struct ComApartment {
    ComApartment() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~ComApartment() { CoUninitialize(); }
};

// A temporary directory of the test's own (removed with its contents) that
// documents are written into as UTF-8.
class TempDir : public fsutil::TempTree {
public:
    std::wstring file(const std::wstring& name) const { return *this / name; }
    // Writes the text and returns the file's path.
    std::wstring write(const std::wstring& name, const std::wstring& text) const {
        fsutil::writeFile(file(name), cstr(text, CP_UTF8));
        return file(name);
    }
};

// Error-level log entries of this process from start() on: message, and the
// outermost location as "function:line context".
struct ErrorCapture : LogListener {
    struct Entry {
        std::wstring message, where;
    };
    static std::vector<Entry>& start() {
        static ErrorCapture* capture = [] {
            auto* added = new ErrorCapture;
            LogManager::instance().addListener(std::unique_ptr<LogListener>(added));
            return added;
        }();
        capture->entries.clear();
        return capture->entries;
    }
    void log(LogLevel level, const vexception& error) override {
        if (level != Error) return;
        const ErrorLocation& last = error.locations().back();
        entries.push_back({error.message(), wstr(last.function) + L":" + std::to_wstring(last.line) + L" " + last.context});
    }
    void log(LogLevel level, const std::wstring& text) override {
        if (level == Error) entries.push_back({text, L""});
    }
    std::vector<Entry> entries;
};

}  // namespace dbtest
