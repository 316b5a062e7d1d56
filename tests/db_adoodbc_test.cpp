// The ADO statement path through Wine's real ADO: MSDASQL reaches the run's
// MariaDB through unixODBC, so Jet's and SQL Server's translated statements
// land in a real database. Wine has neither Jet nor SQL Server providers.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <memory>

#include "database/jet.h"
#include "database/mssql.h"
#include "db_testenv.h"
#include "runtime/comerror.h"

using dbtest::scalar;

namespace {

// Opens through the shared ADO connect: the back ends' own connect sends what
// only Jet (properties) or SQL Server (SET DATEFORMAT) accept.
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

class AdoOverOdbc : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        REQUIRE_TEST_SERVER();
        if (dbtest::server().odbcDsn.empty())
            GTEST_SKIP() << "no ODBC DSN for the test server: " << cstr(dbtest::server().odbcMissing);
        const char* ini = std::getenv("ODBCINI");
        if (!ini || !*ini) GTEST_SKIP() << "ODBCINI is not set for this run";
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
    OverOdbc<JetDatabaseProvider> jet(dbtest::server().odbcDsn);
    OverOdbc<MSSQLDatabaseProvider> mssql(dbtest::server().odbcDsn);
    jet.open();
    mssql.open();
    // Only translations MariaDB also reads: single-quoted texts and N'...'; not bracketed names.
    jet.execute(L"create table adotest (id int primary key, v varchar(40))");
    struct Case {
        IDatabaseProvider* provider;
        const wchar_t* statement;
        const wchar_t* id;
        std::wstring stored;
    } cases[] = {
        {&jet, L"insert into adotest (id, v) values (1, \"say \"\"hi\"\"\")", L"1", L"say \"hi\""},
        {&jet, L"insert into adotest (id, v) values (2, 'it''s')", L"2", L"it's"},
        {&mssql, L"insert into adotest (id, v) values (3, \"x\"\"y\")", L"3", L"x\"y"},
        {&mssql, L"insert into adotest (id, v) values (4, 'caf\u00E9')", L"4", L"caf\u00E9"},
    };
    for (const Case& c : cases) {
        c.provider->execute(c.statement);
        EXPECT_EQ(scalar(*checker_, std::wstring(L"select v from adotest where id=") + c.id), c.stored)
            << cstr(c.statement);
    }
    // A value escaped by the back end survives the translation.
    mssql.execute(L"insert into adotest (id, v) values (5, '" + mssql.escape(L"a'b\"c") + L"')");
    EXPECT_EQ(scalar(*checker_, L"select v from adotest where id=5"), L"a'b\"c");
    mssql.execute(L"delete from adotest where v = 'it''s'");
    EXPECT_EQ(scalar(*checker_, L"select group_concat(id order by id) from adotest"), L"1,3,4,5");

    RecordSetRef records(mssql.query(L"select id, v from adotest where v = 'x\"y'"));
    ASSERT_EQ(records->fieldCount(), 2u);
    EXPECT_EQ(records->fieldName(1), L"v");
    EXPECT_EQ(records->fieldIndex(L"id"), 0);

    try {
        jet.execute(L"insert into nosuchtable values (1)");
        ADD_FAILURE() << "no exception";
    } catch (const ComError& e) {
        EXPECT_TRUE(FAILED(e.error()));
    }
    OverOdbc<MSSQLDatabaseProvider> unknown(L"hvc-no-such-dsn");
    std::wstring text = dbtest::thrownText([&] { unknown.open(); });
    EXPECT_EQ(text.find(L"Unable to ADO conect with connection string: Provider=MSDASQL;Data Source=hvc-no-such-dsn "), 0u)
        << cstr(text);
}
