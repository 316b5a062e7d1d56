// The ADO back ends' statement path through Wine's real ADO: its ODBC
// provider (MSDASQL) reaches the run's private MariaDB through unixODBC, so
// the statements that Jet's and SQL Server's translation produce land in a
// real database and can be checked there. Wine has neither Jet nor SQL
// Server; what their providers would do with the statements is not tested here.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <memory>

#include "database/jet.h"
#include "database/mssql.h"
#include "db_testenv.h"
#include "runtime/comerror.h"

using dbtest::scalar;
using dbtest::thrownText;

namespace {

// The back end with its connection string pointed at the test DSN. Its own
// connect would send what only Jet (properties) or SQL Server (SET
// DATEFORMAT) accept, so the suite opens through the shared ADO connect.
template <class Backend>
class OverOdbc : public Backend {
public:
    explicit OverOdbc(std::wstring dsn) : dsn_(std::move(dsn)) {}
    std::wstring connectionString(const std::wstring&, const std::wstring&) override {
        return L"Provider=MSDASQL;Data Source=" + dsn_;
    }
    void open() { VADODatabaseProvider::connect(L"", L"", L"", L"", 0, L""); }

private:
    std::wstring dsn_;
};

#define REQUIRE_ODBC()                                                                                   \
    do {                                                                                                 \
        REQUIRE_TEST_SERVER();                                                                           \
        if (dbtest::server().odbcDsn.empty())                                                            \
            GTEST_SKIP() << "no ODBC DSN for the test server: " << cstr(dbtest::server().odbcMissing);  \
        const char* ini = std::getenv("ODBCINI");                                                        \
        if (!ini || !*ini) GTEST_SKIP() << "ODBCINI is not set for this run";                            \
    } while (0)

class AdoOverOdbc : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (!dbtest::server().why.empty()) return;
        checker_ = std::make_unique<MySQLDatabaseProvider>();
        dbtest::connect(*checker_);
        checker_->execute(L"DROP TABLE IF EXISTS adotest");
    }
    void TearDown() override {
        if (checker_) checker_->execute(L"DROP TABLE IF EXISTS adotest");
        checker_.reset();
        CoUninitialize();
    }
    std::unique_ptr<MySQLDatabaseProvider> checker_;
};

}  // namespace

TEST_F(AdoOverOdbc, TranslatedStatementsLandInTheDatabase) {
    REQUIRE_ODBC();
    OverOdbc<JetDatabaseProvider> jet(dbtest::server().odbcDsn);
    OverOdbc<MSSQLDatabaseProvider> mssql(dbtest::server().odbcDsn);
    jet.open();
    mssql.open();
    EXPECT_TRUE(jet.isConnected());

    // Only translations MariaDB also reads: Jet's single-quoted texts and SQL
    // Server's Unicode literals (MariaDB knows N'...'); bracketed names it does not.
    jet.execute(L"create table adotest (id int primary key, v varchar(40))");
    struct Case {
        IDatabaseProvider* provider;
        const wchar_t* statement;
        const wchar_t* id;
        const wchar_t* stored;
    } cases[] = {
        {&jet, L"insert into adotest (id, v) values (1, \"say \"\"hi\"\"\")", L"1", L"say \"hi\""},
        {&jet, L"insert into adotest (id, v) values (2, 'it''s')", L"2", L"it's"},
        {&mssql, L"insert into adotest (id, v) values (3, 'O''Hara')", L"3", L"O'Hara"},
        {&mssql, L"insert into adotest (id, v) values (4, \"x\"\"y\")", L"4", L"x\"y"},
        {&mssql, L"insert into adotest (id, v) values (5, 'caf\u00E9')", L"5", L"caf\u00E9"},
    };
    for (const Case& c : cases) {
        c.provider->execute(c.statement);
        EXPECT_EQ(scalar(*checker_, std::wstring(L"select v from adotest where id=") + c.id), c.stored)
            << cstr(c.statement);
    }
    // Values escaped by the back end survive the translation.
    const std::wstring tricky = L"a'b\"c";
    mssql.execute(L"insert into adotest (id, v) values (6, '" + mssql.escape(tricky) + L"')");
    EXPECT_EQ(scalar(*checker_, L"select v from adotest where id=6"), tricky);

    jet.execute(L"update adotest set v = \"changed\" where id = 1");
    mssql.execute(L"delete from adotest where v = 'it''s'");
    EXPECT_EQ(scalar(*checker_, L"select group_concat(id order by id) from adotest"), L"1,3,4,5,6");
    EXPECT_EQ(scalar(*checker_, L"select v from adotest where id=1"), L"changed");

    // A query's record set knows its columns.
    RecordSetRef records(mssql.query(L"select id, v from adotest where v = 'changed'"));
    ASSERT_EQ(records->fieldCount(), 2u);
    EXPECT_EQ(records->fieldName(1), L"v");
    EXPECT_EQ(records->fieldIndex(L"id"), 0);

    // A refused statement arrives as the COM error.
    try {
        jet.execute(L"insert into nosuchtable values (1)");
        ADD_FAILURE() << "no exception";
    } catch (const ComError& e) {
        EXPECT_TRUE(FAILED(e.error()));
    }
    jet.disconnect();
    EXPECT_FALSE(jet.isConnected());
}

TEST_F(AdoOverOdbc, UnknownDataSourceFailsToConnect) {
    REQUIRE_ODBC();
    OverOdbc<MSSQLDatabaseProvider> provider(L"hvc-no-such-dsn");
    std::wstring text = thrownText([&] { provider.open(); });
    EXPECT_EQ(text.find(L"Unable to ADO conect with connection string: Provider=MSDASQL;Data Source=hvc-no-such-dsn "), 0u)
        << cstr(text);
    EXPECT_FALSE(provider.isConnected());
}
