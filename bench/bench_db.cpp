// HVC_QueryDbValue against the same work done raw, as a ratio of per-call
// medians in one run (result lines: bench/benchutil.h): the export's six
// management-service requests as raw pipe exchanges, then a bare Connector/C
// connection with the export's set-up statements, the query, its value and
// the close.
// Needs the stand-in service on \\.\pipe\hvcpipe holding the server's
// parameters and a connection file (scripts/mariadb.sh), as
// `./build.sh bench` provides them.
// Run under Wine: hvcbench_db.exe [CONNECTION_ENV [iterations]]
#include <windows.h>

#include <mysql.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "bench/benchutil.h"
#include "database/mysql.h"
#include "exports/hvcdmtutils.h"

namespace {

// Runs a statement and drops what it returns; false on failure.
bool run(MYSQL* mysql, const char* statement) {
    if (mysql_query(mysql, statement) != 0) return false;
    UniqueMysqlResult ignored(mysql_store_result(mysql));
    return mysql_errno(mysql) == 0;
}

// The first value of the statement's first row.
std::string firstValue(MYSQL* mysql, const char* statement) {
    if (mysql_query(mysql, statement) != 0) return std::string();
    UniqueMysqlResult result(mysql_store_result(mysql));
    MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr;
    return row && row[0] ? std::string(row[0]) : std::string();
}

}  // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> db = bench::readConnectionFile(argc > 1 ? argv[1] : nullptr);
    if (db["HVC_DB_PORT"].empty()) {
        std::fprintf(stderr, "hvcbench_db: no connection file (HVC_BENCH_DB_ENV or the first argument)\n");
        return 2;
    }
    int iterations = argc > 2 ? std::atoi(argv[2]) : 200;
    if (iterations < 1) iterations = 1;
    const std::string host = db["HVC_DB_HOST"], name = db["HVC_DB_NAME"], login = db["HVC_DB_LOGIN"];
    const std::string password = db["HVC_DB_PASSWORD"];
    const unsigned port = static_cast<unsigned>(std::atoi(db["HVC_DB_PORT"].c_str()));
    const char* statement = "select concat('row ', 42)";

    HMODULE module = bench::loadLibrary();
    auto query = bench::bind<HVC_QueryDbValue_t>(module, HVC_NAME_QueryDbValue);
    auto freeString = bench::bind<HVC_FreeString_t>(module, HVC_NAME_FreeString);
    auto lastError = bench::bind<HVC_GetLastHvcDmtError_t>(module, HVC_NAME_GetLastHvcDmtError);

    bool ok = true;
    auto exported = [&] {
        const char* value = query(statement);
        if (!value || std::strcmp(value, "row 42") != 0) ok = false;
        freeString(value);
    };
    exported();  // the library's service client connects on first use
    if (!ok) {
        const char* text = lastError();
        std::fprintf(stderr, "hvcbench_db: HVC_QueryDbValue failed: %s\n", text ? text : "(no row)");
        return 1;
    }
    bench::RawService service;
    if (!service.valid()) {
        std::fprintf(stderr, "hvcbench_db: no stand-in service (error %lu)\n", GetLastError());
        return 1;
    }
    auto bare = [&] {
        // The export's requests, in its order: provider name, host, login,
        // database, password, port.
        bool answered = service.getString(L"ORVEX_DATABASE_PROVIDER_NAME") && service.getString(L"MySQL_DB_HOST") &&
                        service.getString(L"ORVEX_DATABASE_LOGIN") && service.getString(L"mySQLDBName") &&
                        service.getPassword(L"pwd") && service.getString(L"MySQL_DB_PORT");
        UniqueMysql owned(mysql_init(nullptr));
        MYSQL* mysql = owned.get();
        unsigned timeout = 60;
        mysql_options(mysql, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
        if (!answered ||
            !mysql_real_connect(mysql, host.c_str(), login.c_str(), password.c_str(), name.c_str(), port, nullptr, 0)) {
            ok = false;
            return;
        }
        my_bool reconnect = 0;
        mysql_options(mysql, MYSQL_OPT_RECONNECT, &reconnect);
        ok = run(mysql, "SET SESSION TRANSACTION ISOLATION LEVEL READ UNCOMMITTED") &&
             !firstValue(mysql, "select version()").empty() && run(mysql, "SET NAMES 'utf8'") &&
             firstValue(mysql, statement) == "row 42" && ok;
    };
    bare();
    if (!ok) {
        std::fprintf(stderr, "hvcbench_db: the raw sequence failed\n");
        return 1;
    }

    std::pair<double, double> medians = bench::alternatingMedians(iterations, exported, bare);
    if (!ok) {
        std::fprintf(stderr, "hvcbench_db: a measured call failed\n");
        return 1;
    }
    bench::result("QueryDbValue_ms", medians.first * 1e3, medians.second * 1e3, 1.10);
    return 0;
}
