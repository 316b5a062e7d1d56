// The version comparison and the MySQL back end with its record set against
// the run's private MariaDB server.
#include <gtest/gtest.h>

#include <iterator>

#include "database/connparams.h"
#include "runtime/catchpoint.h"
#include "db_testenv.h"

using dbtest::scalar;
using dbtest::thrownText;
using Lines = std::vector<std::wstring>;

// Decides whether connect sends SET NAMES (not below 4.1).
TEST(DatabaseFactory, VersionComparison) {
    struct Case {
        const wchar_t *a, *b;
        int expected;
    } cases[] = {{L"5.0.51", L"4.1", 1}, {L"4.1", L"4.1", 0}, {L"4", L"4.1", -1}, {L"4.10", L"4.9", 1},
                 {L"4.0.27-max", L"4.1", -1}, {L"10.11.19-MariaDB-0+deb12u1", L"4.1", 1}, {L"", L"4.1", -1}};
    for (const Case& c : cases) {
        EXPECT_EQ(compareVersions(c.a, c.b), c.expected) << cstr(c.a) << " vs " << cstr(c.b);
        EXPECT_EQ(compareVersions(c.b, c.a), -c.expected) << cstr(c.b) << " vs " << cstr(c.a);
    }
}

namespace {

class MySQLServer : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_TEST_SERVER();
        dbtest::clearDbEnvironment();
        db = std::make_unique<MySQLDatabaseProvider>();
        dbtest::connect(*db);
    }
    void run(const std::wstring& statement) { db->execute(statement); }
    // A fresh table "name (id auto_increment, v column)".
    void table(const std::wstring& name, const std::wstring& column) {
        run(L"DROP TABLE IF EXISTS " + name);
        run(L"create table " + name + L" (id int auto_increment primary key, v " + column + L") default charset=utf8");
    }

    std::unique_ptr<MySQLDatabaseProvider> db;
};

}  // namespace

TEST_F(MySQLServer, Utf8RoundTrip) {
    table(L"utf", L"varchar(50)");
    const std::wstring values[] = {L"Привет, мир", L"Γειά σου", L"日本語のテキスト", L"עברית", L"ÄÖÜ ß € ‰"};
    for (const std::wstring& value : values) run(L"insert into utf (v) values ('" + db->escape(value) + L"')");
    RecordSetRef records(db->query(L"select v, char_length(v) as `длина` from utf order by id"));
    EXPECT_EQ(records->fieldName(1), L"длина");
    for (const std::wstring& value : values) {
        ASSERT_TRUE(records->next());
        EXPECT_EQ(records->getValue(0, L"", false), value);
        // Counted as characters by the server: stored as text, not as mojibake.
        EXPECT_EQ(records->getValue(1, L"", false), std::to_wstring(value.size()));
    }
    // SET NAMES 'utf8' was sent: the client library's own default is another.
    EXPECT_EQ(scalar(*db, L"select @@character_set_client in ('utf8', 'utf8mb3')"), L"1");
}

TEST_F(MySQLServer, RecordSetValuesAndNavigation) {
    RecordSetRef one(db->query(L"select NULL as n, '' as e, 'x' as v, concat('a', char(0), 'b') as z, 1 as v"));
    struct Case {
        unsigned column;
        bool emptyIsNull, isNull;
        std::wstring value;  // getValue with the default "dflt"
    } cases[] = {{0, false, true, L"dflt"}, {0, true, true, L"dflt"}, {1, false, false, L""},
                 {1, true, true, L"dflt"},  {2, true, false, L"x"},  {3, false, false, std::wstring(L"a\0b", 3)}};
    ASSERT_TRUE(one->next());
    for (const Case& c : cases) {
        EXPECT_EQ(one->isNull(c.column, c.emptyIsNull), c.isNull) << c.column << c.emptyIsNull;
        EXPECT_EQ(one->getValue(c.column, L"dflt", c.emptyIsNull), c.value) << c.column << c.emptyIsNull;
    }
    // Exact names; a later column of the same name wins.
    EXPECT_EQ(one->fieldIndex(L"v"), 4);
    EXPECT_EQ(one->fieldIndex(L"V"), -1);
    RecordSetRef rows(db->query(L"select 1 union all select 2"));
    db.reset();  // record sets outlive their provider
    ASSERT_TRUE(rows->moveLast() && rows->next());
    EXPECT_EQ(rows->getValue(0, L"?", false), L"2");
}

TEST_F(MySQLServer, FailuresNameTheStatement) {
    table(L"twoRows", L"int");
    run(L"insert into twoRows (v) values (1), (2)");
    struct Case {
        bool isQuery;
        std::wstring statement, prefix;  // the message is prefix + the library's text
    } cases[] = {
        {false, L"selec 1", L"Can't execute selec 1: MySql error 1064:"},
        // The statement starts, then fails while its rows are made.
        {false, L"select if(id = 2, (select 1 union select 2), 0) from twoRows",
         L"Can't execute select if(id = 2, (select 1 union select 2), 0) from twoRows: MySql error 1242:"},
        {true, L"select * from no_such", L"Can't query select * from no_such: MySQLDatabaseProvider error 1146:"},
        // Runs, but gives no result set.
        {true, L"do 1", L"Can't get result for query do 1 MySQLDatabaseProvider error "},
    };
    for (const Case& c : cases) {
        std::wstring error = thrownText([&] {
            if (c.isQuery) RecordSetRef(db->query(c.statement));
            else db->execute(c.statement);
        });
        EXPECT_EQ(error, c.prefix + db->lastError());
        EXPECT_EQ(scalar(*db, L"select 7"), L"7");  // still usable
    }
}

TEST_F(MySQLServer, EscapeKeepsHostileValuesInTheirLiteral) {
    table(L"esc", L"varchar(100)");
    const std::wstring values[] = {L"'", L"\\", L"\\'", L"abc\\", L"x'); DROP TABLE esc; --", L"' OR '1'='1",
                                   L"\"q\" `b`\n\r\t", std::wstring(L"nul\0\x1A", 5), L"Ж'Ω\\中"};
    for (const std::wstring& value : values) {
        run(L"insert into esc (v) values ('" + db->escape(value) + L"')");
        EXPECT_EQ(scalar(*db, L"select v from esc where id = " + std::to_wstring(db->lastInsertId())), value)
            << cstr(value, CP_UTF8);
    }
    EXPECT_EQ(scalar(*db, L"select count(*) from esc"), std::to_wstring(std::size(values)));
    EXPECT_TRUE(db->tableExists(L"esc"));
    EXPECT_FALSE(db->tableExists(L"es'c"));
}

TEST_F(MySQLServer, CounterTable) {
    for (const wchar_t* table : {L"clients", L"ip_pool", L"limits", L"parameters", L"permissions", L"repository",
                                 L"tmpldata", L"ms_jet_counter"})
        run(std::wstring(L"DROP TABLE IF EXISTS `") + table + L"`");
    EXPECT_EQ(thrownText([&] { db->nextCounter(L"", L""); }).find(L"Can't execute insert into ms_jet_counter"), 0u);
    EXPECT_EQ(thrownText([&] { resetCounterTable(*db); }).find(L"Can't execute delete from ms_jet_counter"), 0u);

    run(counterTableCreate);
    resetCounterTable(*db);  // every counted table missing: starts over at 1
    EXPECT_EQ(scalar(*db, L"select group_concat(id) from ms_jet_counter"), L"1");
    uint64_t first = db->nextCounter(L"ignored", L"ignored"), second = db->nextCounter(L"", L"");
    EXPECT_EQ(second, first + 1);
    EXPECT_EQ(scalar(*db, L"select group_concat(id) from ms_jet_counter"), std::to_wstring(second));

    run(L"create table clients (pool_id int)");
    run(L"insert into clients values (41), (3)");
    run(L"create table repository (rep_id int)");  // empty: max is NULL
    run(L"create table tmpldata (other int)");     // no such column: skipped
    resetCounterTable(*db);
    EXPECT_EQ(scalar(*db, L"select group_concat(id) from ms_jet_counter"), L"42");
    EXPECT_EQ(db->nextCounter(L"", L""), 43u);
}

namespace {

struct Reconnector : IDatabaseReconnectHandler {
    void reconnect(IDatabaseProvider& provider) override {
        ++calls;
        if (helps) dbtest::connect(provider);
    }
    bool helps = false;
    int calls = 0;
};

}  // namespace

TEST_F(MySQLServer, LostConnectionIsRetriedOnceThroughTheHandler) {
    struct Case {
        int handler;  // 0 none, 1 reconnects, 2 does not help
        bool isQuery;
    } cases[] = {{0, false}, {0, true}, {1, false}, {1, true}, {2, false}};
    for (const Case& c : cases) {
        MySQLDatabaseProvider victim;
        dbtest::connect(victim);
        Reconnector handler;
        handler.helps = c.handler == 1;
        if (c.handler) victim.setReconnectHandler(&handler);
        // Killed from a second connection; wait until the server has let it go.
        std::wstring id = scalar(victim, L"select connection_id()");
        run(L"KILL CONNECTION " + id);
        for (int i = 0; i < 100 && scalar(*db, L"select count(*) from information_schema.processlist where id = " + id) != L"0"; ++i)
            Sleep(50);
        std::wstring error = thrownText([&] {
            if (c.isQuery) EXPECT_EQ(scalar(victim, L"select 42"), L"42");
            else victim.execute(L"do 42");
        });
        EXPECT_EQ(handler.calls, c.handler ? 1 : 0) << c.handler << c.isQuery;
        if (c.handler == 1) {
            EXPECT_EQ(error, L"(no exception)");
            continue;
        }
        std::wstring prefix = c.isQuery ? L"Can't query select 42: MySQLDatabaseProvider error " : L"Can't execute do 42: MySql error ";
        EXPECT_TRUE(error.find(prefix + L"2013:") == 0 || error.find(prefix + L"2006:") == 0) << cstr(error);
    }
}

// The login of the connection parameters gets the new password on every host
// entry; this server refuses writes into mysql.user, so it takes ALTER USER
// (the statements for older servers are checked as text with the importer's).
TEST_F(MySQLServer, SetPasswordChangesTheLogin) {
    const dbtest::Server& s = dbtest::server();
    struct DropUser {
        MySQLDatabaseProvider& db;
        ~DropUser() {
            ignoreFailure([&] { db.execute(L"DROP USER IF EXISTS 'hvc_pw'@'%'"); });
            ignoreFailure([&] { db.execute(L"DROP USER IF EXISTS 'hvc_pw'@'127.0.0.1'"); });
        }
    } drop{*db};
    run(L"CREATE USER 'hvc_pw'@'%' IDENTIFIED BY 'old'");
    run(L"CREATE USER 'hvc_pw'@'127.0.0.1' IDENTIFIED BY 'old'");
    // Every parameter from the environment, so the service is not asked.
    for (auto& v : {std::make_pair(L"ORVEX_DB_HOST", s.host), std::make_pair(L"ORVEX_DB_LOGIN", std::wstring(L"hvc_pw")),
                    std::make_pair(L"ORVEX_DB_NAME", s.name), std::make_pair(L"ORVEX_DB_PASSWD", std::wstring(L"old")),
                    std::make_pair(L"ORVEX_DB_PORT", std::to_wstring(s.port))})
        dbtest::setEnv(v.first, v.second);
    const Lines& log = dbtest::LogCapture::start();
    std::wstring error = thrownText([&] { db->setPassword(L"new'pw\\", L"unused"); });
    dbtest::clearDbEnvironment();
    EXPECT_EQ(error, L"(no exception)");
    Lines sent;
    for (const std::wstring& line : log)
        if (line.find(L"MySQLDatabaseProvider Execute: ") == 0) sent.push_back(line.substr(31));
    EXPECT_EQ(sent, (Lines{L"use mysql", L"ALTER USER 'hvc_pw'@'%' IDENTIFIED BY '****'",
                           L"ALTER USER 'hvc_pw'@'127.0.0.1' IDENTIFIED BY '****'", L"FLUSH PRIVILEGES"}));
    EXPECT_EQ(scalar(*db, L"select database()"), L"mysql");
    MySQLDatabaseProvider user;
    EXPECT_NO_THROW(user.connect(s.host, L"", L"hvc_pw", L"new'pw\\", s.port, L""));
    EXPECT_THROW(user.connect(s.host, L"", L"hvc_pw", L"old", s.port, L""), VDatabase::ConnectException);
}

// A password the library puts into a statement reaches the server as it is,
// and neither the log nor an error text.
TEST_F(MySQLServer, CreatedLoginsPasswordStaysOutOfLogAndErrors) {
    const dbtest::Server& s = dbtest::server();
    struct DropUser {
        MySQLDatabaseProvider& db;
        ~DropUser() { ignoreFailure([&] { db.execute(L"DROP USER IF EXISTS 'hvc_sec'@'%'"); }); }
    } drop{*db};
    const std::wstring password = L"pa'ss\\Word9";
    const Lines& log = dbtest::LogCapture::start();
    createMySQLUser(*db, L"hvc_sec_db", L"hvc_sec", password, L"");
    // The login exists now: its CREATE USER fails and names the statement.
    std::wstring error = thrownText([&] { createMySQLUser(*db, L"hvc_sec_db", L"hvc_sec", password, L""); });
    EXPECT_EQ(error.find(L"Can't execute CREATE USER 'hvc_sec'@'%' IDENTIFIED BY '****': MySql error 1396:"), 0u)
        << cstr(error);
    EXPECT_NE(std::find(log.begin(), log.end(), L"SQL: CREATE USER 'hvc_sec'@'%' IDENTIFIED BY '****'"), log.end());
    for (const std::wstring& line : log) EXPECT_EQ(line.find(L"Word9"), std::wstring::npos) << cstr(line);
    MySQLDatabaseProvider user;
    EXPECT_NO_THROW(user.connect(s.host, L"", L"hvc_sec", password, s.port, L""));
}
