// Cost of the database exports against the bare client library on the same
// server, as ratios measured in one run, and the cost of the management-
// service requests an export makes. Run under Wine:
//   hvcbench_db.exe CONNECTION_ENV [iterations]
// CONNECTION_ENV is the file scripts/mariadb.sh writes (HVC_DB_HOST=..., one
// a line). The bench starts the stand-in service orvexsrv.exe from its own
// directory with those parameters, as the panel's service would hold them.
#include <windows.h>

#include <mysql.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>

#include "database/mysql.h"
#include "ipc/srvclient.h"
#include "runtime/owners.h"

#include "bench/benchutil.h"
#include "exports/hvcdmtutils.h"

namespace {

using bench::bind;
using bench::binDirectory;
using bench::secondsFor;

// The stand-in management service for the length of the bench.
class Service {
public:
    explicit Service(const std::string& params) {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        const std::wstring suffix = std::to_wstring(GetCurrentProcessId());
        file_ = std::wstring(temp) + L"hvcbench-db-" + suffix + L".txt";
        std::ofstream(file_.c_str(), std::ios::binary) << params;
        const std::wstring ready = L"hvcbench-ready-" + suffix, stop = L"hvcbench-stop-" + suffix;
        ready_.reset(CreateEventW(nullptr, TRUE, FALSE, ready.c_str()));
        stop_.reset(CreateEventW(nullptr, TRUE, FALSE, stop.c_str()));
        std::wstring line = L"\"" + binDirectory() + L"\\orvexsrv.exe\" --quiet --ready-event " + ready +
                            L" --stop-event " + stop + L" --parent " + suffix + L" \"" + file_ + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info = {};
        if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
            std::fprintf(stderr, "cannot start orvexsrv.exe (error %lu)\n", GetLastError());
            std::exit(1);
        }
        UniqueHandle thread(info.hThread);
        process_.reset(info.hProcess);
        HANDLE waits[2] = {ready_.get(), process_.get()};
        if (WaitForMultipleObjects(2, waits, FALSE, 20000) != WAIT_OBJECT_0) {
            std::fprintf(stderr, "orvexsrv.exe did not get ready\n");
            std::exit(1);
        }
    }
    ~Service() {
        SetEvent(stop_.get());
        WaitForSingleObject(process_.get(), 10000);
        DeleteFileW(file_.c_str());
    }

private:
    std::wstring file_;
    UniqueHandle process_, ready_, stop_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: hvcbench_db CONNECTION_ENV [iterations]\n");
        return 2;
    }
    int iterations = argc > 2 ? std::atoi(argv[2]) : 200;
    std::map<std::string, std::string> db;
    std::ifstream file(argv[1]);
    for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t eq = line.find('=');
        if (eq != std::string::npos) db[line.substr(0, eq)] = line.substr(eq + 1);
    }
    if (db["HVC_DB_PORT"].empty()) {
        std::fprintf(stderr, "no HVC_DB_PORT in %s\n", argv[1]);
        return 1;
    }
    const std::string host = db["HVC_DB_HOST"], name = db["HVC_DB_NAME"], login = db["HVC_DB_LOGIN"];
    const std::string password = db["HVC_DB_PASSWORD"];
    const unsigned port = static_cast<unsigned>(std::atoi(db["HVC_DB_PORT"].c_str()));
    const char* statement = "select concat('row ', 42)";

    Service service("param MySQL_DB_HOST=" + host + "\nparam MySQL_DB_PORT=" + db["HVC_DB_PORT"] +
                    "\nparam mySQLDBName=" + name + "\nparam ORVEX_DATABASE_LOGIN=" + login +
                    "\nparam ORVEX_DATABASE_PROVIDER_NAME=MySQL\npassword pwd=" + password + "\n");
    HMODULE module = bench::loadLibrary();
    auto query = bind<HVC_QueryDbValue_t>(module, HVC_NAME_QueryDbValue);
    auto freeString = bind<HVC_FreeString_t>(module, HVC_NAME_FreeString);
    auto lastError = bind<HVC_GetLastHvcDmtError_t>(module, HVC_NAME_GetLastHvcDmtError);

    bool ok = true;
    auto exported = [&] {
        const char* value = query(statement);
        if (!value || std::strcmp(value, "row 42") != 0) ok = false;
        freeString(value);
    };
    auto bare = [&] {
        UniqueMysql owned(mysql_init(nullptr));
        MYSQL* mysql = owned.get();
        if (!mysql_real_connect(mysql, host.c_str(), login.c_str(), password.c_str(), name.c_str(), port, nullptr, 0)) {
            ok = false;
        } else if (mysql_query(mysql, statement) == 0) {
            UniqueMysqlResult result(mysql_store_result(mysql));
            if (result) {
                MYSQL_ROW row = mysql_fetch_row(result.get());
                if (!row || std::strcmp(row[0], "row 42") != 0) ok = false;
            }
        } else {
            ok = false;
        }
    };
    // Warm both paths up (first connection, the DLL's service client).
    exported();
    bare();
    if (!ok) {
        const char* text = lastError();
        std::fprintf(stderr, "warm-up failed: %s\n", text ? text : "(bare client)");
        return 1;
    }

    auto setEnv = [](const char* name, const std::string& value) {
        _wputenv((std::wstring(name, name + std::strlen(name)) + L"=" + std::wstring(value.begin(), value.end())).c_str());
    };
    auto environment = [&](bool on) {
        setEnv("ORVEX_DB_HOST", on ? host : "");
        setEnv("ORVEX_DB_PORT", on ? db["HVC_DB_PORT"] : "");
        setEnv("ORVEX_DB_NAME", on ? name : "");
        setEnv("ORVEX_DB_LOGIN", on ? login : "");
        setEnv("ORVEX_DB_PASSWD", on ? password : "");
    };
    // Interleaved blocks, so that drift of the machine or the server hits
    // all three alike. "Environment": every parameter from ORVEX_DB_*, so the
    // export makes no service request but the provider-name one.
    double raw = 0, viaService = 0, viaEnvironment = 0;
    const int rounds = 10, block = iterations / rounds > 0 ? iterations / rounds : 1;
    for (int round = 0; round < rounds; ++round) {
        raw += secondsFor(block, bare);
        viaService += secondsFor(block, exported);
        environment(true);
        viaEnvironment += secondsFor(block, exported);
        environment(false);
    }
    iterations = rounds * block;

    // The service requests themselves, through this program's own client.
    OrvexSrvClient& client = OrvexSrvClient::getInstance();
    int requests = iterations * 5;
    double getString = secondsFor(requests, [&] {
        if (client.getString(L"mySQLDBName").empty()) ok = false;
    });
    double getPassword = secondsFor(requests, [&] {
        if (client.getPassword(L"pwd").empty()) ok = false;
    });
    if (!ok) {
        std::fprintf(stderr, "a measured call failed\n");
        return 1;
    }

    auto perCall = [&](double seconds, int n) { return seconds * 1e3 / n; };
    std::printf("server %s:%u, %d calls each, statement \"%s\"\n", host.c_str(), port, iterations, statement);
    std::printf("bare Connector/C connect+query+fetch+close  %8.3f ms/call\n", perCall(raw, iterations));
    std::printf("HVC_QueryDbValue, parameters from service   %8.3f ms/call  ratio %.2f\n",
                perCall(viaService, iterations), viaService / raw);
    std::printf("HVC_QueryDbValue, parameters from ORVEX_DB_* %7.3f ms/call  ratio %.2f\n",
                perCall(viaEnvironment, iterations), viaEnvironment / raw);
    std::printf("service: getString %.3f ms/request, getPassword %.3f ms/request (%d each); an export makes 6 requests\n",
                perCall(getString, requests), perCall(getPassword, requests), requests);
    std::printf("service share of one HVC_QueryDbValue (5 of its 6 requests): %.3f ms (%.0f%%)\n",
                perCall(viaService - viaEnvironment, iterations), 100.0 * (viaService - viaEnvironment) / viaService);
    return 0;
}
