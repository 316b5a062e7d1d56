// The database exports as a caller sees them (the DLL loaded by name), end to
// end: the stand-in management service (orvexsrv.exe) holds the parameters
// and the password as the panel's service does, and the statements run on
// the run's private MariaDB server.
#include <gtest/gtest.h>
#include <windows.h>

#include <map>

#include "db_testenv.h"
#include "standin.h"

#include "exports/hvcdmtutils.h"
#include "testutil.h"

namespace {

const std::string nullText = "(null)";

using testutil::exportOf;
template <class T>
T bind(const char* name) {
    return exportOf<T>(name);
}

std::string slot() {
    const char* text = bind<HVC_GetLastHvcDmtError_t>(HVC_NAME_GetLastHvcDmtError)();
    return text ? text : nullText;
}
std::string take(const char* block) {
    if (!block) return nullText;
    std::string text = block;
    bind<HVC_FreeString_t>(HVC_NAME_FreeString)(block);
    return text;
}
std::string query(const char* statement) { return take(bind<HVC_QueryDbValue_t>(HVC_NAME_QueryDbValue)(statement)); }
// The slot's text after the statement, "" on success.
std::string exec(const char* statement, long* lastId = nullptr) {
    bind<HVC_ExecuteDb_t>(HVC_NAME_ExecuteDb)(statement, lastId);
    return slot() == nullText ? "" : slot();
}

// The panel's service with the test server's parameters; entries given replace them ("" drops one).
std::unique_ptr<standin::Server> panel(const std::map<std::string, std::string>& changes = {}) {
    const dbtest::Server& s = dbtest::server();
    std::map<std::string, std::string> params = {
        {"MySQL_DB_HOST", cstr(s.host)}, {"MySQL_DB_PORT", std::to_string(s.port)}, {"mySQLDBName", cstr(s.name)},
        {"ORVEX_DATABASE_LOGIN", cstr(s.login)}, {"pwd", cstr(s.password)}};
    for (const auto& change : changes) params[change.first] = change.second;
    standin::Server::Options options;
    for (const auto& p : params)
        if (!p.second.empty()) options.file += (p.first == "pwd" ? "password " : "param ") + p.first + "=" + p.second + "\n";
    auto server = std::make_unique<standin::Server>(options);
    EXPECT_TRUE(server->running());
    return server;
}

class DbExports : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(bind<void*>(HVC_NAME_FreeString), nullptr);  // the DLL loads
        dbtest::clearDbEnvironment();
    }
    void TearDown() override { dbtest::clearDbEnvironment(); }
};

}  // namespace

TEST_F(DbExports, QueryDbValue) {
    REQUIRE_TEST_SERVER();
    auto service = panel();
    ASSERT_EQ(exec("DROP TABLE IF EXISTS qv"), "");
    ASSERT_EQ(exec("create table qv (id int primary key, v varchar(20)) default charset=utf8"), "");
    ASSERT_EQ(exec("insert into qv values (1, 'first'), (2, NULL), (3, ''), (4, 'caf\xE9')"), "");
    struct Case {
        const char* statement;
        std::string value, error;  // error: the slot's prefix, nullText for an empty slot
    } cases[] = {
        {"select v, 'second' from qv order by id", "first", nullText},  // column 0 of row 1
        {"select v from qv where id = 2", "", nullText},                // NULL
        {"select v from qv where id = 3", "", nullText},                // empty
        {"select v from qv where id = 99", nullText, nullText},            // no row: null without error
        {"select concat(v, char_length(v)) from qv where id = 4", "caf\xE9" "4", nullText},  // ANSI out, UTF-8 on the wire
        {"update qv set v = v", nullText, "Can't get result for query update qv set v = v MySQLDatabaseProvider error "},
        {"selec 1", nullText, "Can't query selec 1: MySQLDatabaseProvider error 1064:"},
        {"", nullText, "Can't query : MySQLDatabaseProvider error 1065:"},
        {nullptr, nullText, "Invalid argument: query is null"},
    };
    for (const Case& c : cases) {
        const char* label = c.statement ? c.statement : "null";
        EXPECT_EQ(query(c.statement), c.value) << label;
        EXPECT_EQ(slot().substr(0, c.error.size()), c.error) << label << ": " << slot();
    }
}

TEST_F(DbExports, ExecuteDb) {
    REQUIRE_TEST_SERVER();
    auto service = panel();
    EXPECT_EQ(exec("DROP TABLE IF EXISTS ex"), "");
    EXPECT_EQ(exec("create table ex (id bigint unsigned auto_increment primary key, v int) auto_increment = 4294967301"), "");
    long id = -7;
    EXPECT_EQ(exec("insert into ex (v) values (1)", &id), "");
    EXPECT_EQ(query("select max(id) from ex"), "4294967301");
    EXPECT_EQ(id, 5);  // cut to the low 32 bits
    EXPECT_EQ(exec("insert into ex (v) values (2)"), "");  // no lastId: nothing written
    EXPECT_EQ(query("select count(*) from ex"), "2");
    EXPECT_EQ(exec("insert into no_such values (1)", &id).find("Can't execute insert into no_such values (1): MySql error 1146:"), 0u);
    EXPECT_EQ(exec(nullptr, &id), "Invalid argument: statement is null");
    EXPECT_EQ(id, 5);  // failures leave it alone
}

TEST_F(DbExports, PasswordAndConnectionInfo) {
    auto getPassword = bind<HVC_getPassword_t>(HVC_NAME_getPassword);
    auto info = bind<HVC_getOrvexDbConnectionInfo_t>(HVC_NAME_getOrvexDbConnectionInfo);
    auto read = [&] {
        std::string host = "kept", name, port, login, password;
        info(host, name, port, login, password);
        return host + "|" + name + "|" + port + "|" + login + "|" + password;
    };
    {
        // Every parameter at its default, the password from the service.
        auto service = panel({{"MySQL_DB_HOST", ""}, {"mySQLDBName", ""}, {"MySQL_DB_PORT", ""},
                              {"ORVEX_DATABASE_LOGIN", ""}, {"pwd", "pw-\xC3\xBC"}});
        EXPECT_EQ(take(getPassword()), "pw-\xFC");  // UTF-16 from the service, ANSI out
        query(nullptr);  // an earlier failure's text survives the connection-info calls
        const std::string earlier = slot();
        EXPECT_EQ(read(), "localhost|hvc|8306|admin|pw-\xFC");
        // Port read as unsigned; wide text cut to its low bytes (U+0416 -> 0x16).
        dbtest::setEnv(L"ORVEX_DB_PORT", L"-1");
        dbtest::setEnv(L"ORVEX_DB_LOGIN", L"\u0416x");
        EXPECT_EQ(read(), "localhost|hvc|4294967295|\x16x|pw-\xFC");
        EXPECT_EQ(slot(), earlier);
    }
    // No service: the environment still answers the password; without it both fail cleanly.
    dbtest::setEnv(L"ORVEX_DB_PASSWD", L"from-env");
    EXPECT_EQ(take(getPassword()), "from-env");
    // A freed copy is wiped: past the heap's free-list header nothing of it is left.
    const std::string secret = "heap-secret-" + std::string(40, 'x');
    dbtest::setEnv(L"ORVEX_DB_PASSWD", wstr(secret));
    const char* copy = getPassword();
    ASSERT_EQ(take(copy), secret);
    EXPECT_EQ(std::string(copy + 16, secret.size() - 16).find("xxxx"), std::string::npos);
    dbtest::clearDbEnvironment();
    EXPECT_EQ(take(getPassword()), nullText);
    EXPECT_NE(slot().find("\\\\.\\pipe\\hvcpipe"), std::string::npos) << slot();
    EXPECT_EQ(read().substr(0, 5), "kept|");
    // A caller outside C++ may hand null for a reference.
    std::string any;
    reinterpret_cast<void(__cdecl*)(void*, void*, void*, void*, void*)>(reinterpret_cast<void*>(info))(&any, &any, &any, &any, nullptr);
    EXPECT_EQ(slot(), "Invalid argument: password is null");
}

// The ADO back ends through the DLL: the service names them and the
// exports report their connection failure. (Wine has neither Jet's nor SQL
// Server's OLE DB provider, so connecting is as far as they get here.) One
// service per test: the DLL's service connection outlives a stand-in.
namespace {
void expectAdoFailures(const std::string& provider, const std::vector<std::pair<std::wstring, std::string>>& cases) {
    auto service = panel({{"ORVEX_DATABASE_PROVIDER_NAME", provider}, {"PRODUCT_ROOT_D", "C:\\Orvex"},
                          {"mySQLDBName", "C:\\Orvex\\panel.mdb"}});
    for (const auto& c : cases) {
        dbtest::setEnv(L"ORVEX_DB_HOST", c.first);  // host from the environment, the rest from the service
        EXPECT_EQ(query("select 1"), nullText);
        EXPECT_EQ(slot().substr(0, c.second.size()), c.second) << slot();
        EXPECT_EQ(exec("delete from `t`").substr(0, c.second.size()), c.second);
    }
}
}  // namespace

TEST_F(DbExports, JetReportsItsConnectionFailure) {
    expectAdoFailures("Jet", {{L"localhost", "Unable to ADO conect with connection string: "
                                             "Provider='Microsoft.Jet.OLEDB.4.0';Data Source=C:\\Orvex\\panel.mdb "},
                              {L"db.example", "Jet support only local databases"}});
}

TEST_F(DbExports, SqlServerReportsItsConnectionFailure) {
    expectAdoFailures("MSSQL", {{L"db.example", "Unable to ADO conect with connection string: Provider=SQLOLEDB.1;"
                                                "Initial Catalog=C:\\Orvex\\panel.mdb;Data Source=db.example "}});
}
