// The ADO back ends (Jet, SQL Server) against the in-process ADO stand-in:
// the statements they send after quote translation, connection strings,
// properties, transactions, record sets over scripted rows, error texts,
// database-file backups and the importers' statements.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <msxml2.h>

#include "adostandin.h"
#include "database/ado.h"
#include "database/import/jetimport.h"
#include "database/import/mssqlimport.h"
#include "database/jet.h"
#include "database/mssql.h"
#include "database/quotes.h"
#include "database/xml.h"
#include "db_testenv.h"
#include "runtime/comerror.h"
#include "runtime/registry.h"
#include "standin.h"
#include "testutil.h"

using Lines = std::vector<std::wstring>;
using dbtest::TempDir;
using dbtest::thrownText;

namespace {

const wchar_t* const jetProvider = L"Provider='Microsoft.Jet.OLEDB.4.0';Data Source=";

// The stand-in for one test; at the end every object it handed out must be released.
class AdoStandIn : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_EQ(standIn_->script.liveObjects, 0) << "ADO objects left unreleased";
        EXPECT_EQ(standIn_->script.unexpected, Lines()) << "calls the back ends never make";
        standIn_.reset();
    }
    adostandin::Script& script() { return standIn_->script; }
    void failOn(const std::wstring& text) { script().failing.push_back(text); }

    std::unique_ptr<adostandin::Scope> standIn_ = std::make_unique<adostandin::Scope>();
};

// A configuration or machine value set for one test, and removed again.
class ScopedRegistryValue {
public:
    // removeTree: a key the test made, removed with its subkeys afterwards.
    ScopedRegistryValue(const std::wstring& subKey, const std::wstring& name, const wchar_t* removeTree = nullptr)
        : subKey_(subKey), name_(name), removeTree_(removeTree) {
        key_ = registry::create(HKEY_LOCAL_MACHINE, subKey_, KEY_ALL_ACCESS);
    }
    ~ScopedRegistryValue() {
        RegDeleteValueW(key_, name_.c_str());
        key_.reset();
        if (removeTree_) RegDeleteTreeW(HKEY_LOCAL_MACHINE, removeTree_);
    }
    void set(DWORD value) { registry::set(key_, name_, value); }
    void setMulti(const std::wstring& zeroSeparated) {
        RegSetValueExW(key_, name_.c_str(), 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(zeroSeparated.data()),
                       static_cast<DWORD>((zeroSeparated.size() + 1) * sizeof(wchar_t)));
    }

private:
    std::wstring subKey_, name_;
    const wchar_t* removeTree_;
    RegKey key_;
};

adostandin::Rows oneValue(const adostandin::Cell& cell, int type = 200) { return {{L"value"}, {type}, {{cell}}}; }

std::wstring joined(const Lines& lines) {
    std::wstring text;
    for (const std::wstring& line : lines) text += line + L"\n";
    return text;
}

}  // namespace

// ------------------------------------------------------------ quote rules

TEST(AdoQuotes, TranslationTables) {
    struct Case {
        const wchar_t* statement;
        const wchar_t* jet;    // prepared for Jet
        const wchar_t* mssql;  // prepared for SQL Server
    } cases[] = {
        {L"select `name` from `t` where `v` = \"a\"", L"select [name] from [t] where [v] = 'a'",
         L"select [name] from [t] where [v] = N'a'"},
        {L"insert into t values('it''s')", L"insert into t values('it''s')", L"insert into t values(N'it''s')"},
        // Doubled double quotes inside a double-quoted text: single-quoted
        // text with single double quotes after the collapsing step.
        {L"x = \"say \"\"hi\"\"\"", L"x = 'say \"hi\"'", L"x = N'say \"hi\"'"},
        // A back quote never escapes itself: two in a row close and reopen.
        {L"`a``b`", L"[a][b]", L"[a][b]"},
        // The other quotes inside a section are plain characters.
        {L"'a`b\"c'", L"'a`b\"c'", L"N'a`b\"c'"},
        {L"`it's`", L"[it's]", L"[it's]"},
        // Separators: SQL Server brackets each part of a dotted name; Jet does not.
        {L"select * from `db.dbo.t`", L"select * from [db.dbo.t]", L"select * from [db].[dbo].[t]"},
        {L"`a.`", L"[a.]", L"[a].[]"},
        {L"'a.b'", L"'a.b'", L"N'a.b'"},
        // Unterminated sections stay open.
        {L"select 'abc", L"select 'abc", L"select N'abc"},
        {L"select `abc", L"select [abc", L"select [abc"},
        // A doubled quote at the very end of an open section.
        {L"'abc''", L"'abc''", L"N'abc''"},
        {L"\"abc\"\"", L"'abc\"", L"N'abc\""},
        // A lone quote just before the end closes.
        {L"'abc'", L"'abc'", L"N'abc'"},
        {L"", L"", L""},
        // Outside sections, doubled double quotes cannot occur; an empty
        // double-quoted text becomes ''.
        {L"v = \"\"", L"v = ''", L"v = N''"},
        {L"no quotes at all", L"no quotes at all", L"no quotes at all"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(prepareJetStatement(c.statement), c.jet) << cstr(c.statement);
        EXPECT_EQ(prepareMSSQLStatement(c.statement), c.mssql) << cstr(c.statement);
    }
    // Before the collapsing step a doubled quote inside a section is kept doubled.
    EXPECT_EQ(translateQuotes(L"\"a\"\"b\"", jetQuoteRules, 3), L"'a\"\"b'");
    EXPECT_EQ(translateQuotes(L"\"a\"\"b\"", msSqlQuoteRules, 3), L"N'a\"\"b'");
    // The first matching rule in table order wins.
    const QuoteRule both[] = {{L'x', L"<", L'x', L">", false, 0}, {L'x', L"{", L'x', L"}", false, 0}};
    EXPECT_EQ(translateQuotes(L"axbxc", both, 2), L"a<b>c");
}

TEST(AdoQuotes, EscapeAndNetworkLibrary) {
    MSSQLDatabaseProvider provider;
    EXPECT_EQ(provider.escape(L"it's \"so\""), L"it''s \"\"so\"\"");
    EXPECT_EQ(provider.escape(L""), L"");
    EXPECT_EQ(provider.escape(L"''"), L"''''");

    struct Case {
        const wchar_t* host;
        Lines protocols;
        const wchar_t* library;
    } cases[] = {
        {L"localhost", {L"tcp", L"np", L"sm"}, L"dbnmpntw"},
        {L"LOCALHOST", {L"sm", L"np"}, L"dbmsrpcn"},
        {L"127.0.0.1", {L"tcp", L"via"}, L""},
        {L"127.0.0.1", {}, L""},
        {L"db.example", {L"sm", L"np"}, L""},
        {L"", {L"sm"}, L""},
        {L"localhost", {L"SM", L"np"}, L"dbnmpntw"},
    };
    for (const Case& c : cases) EXPECT_EQ(networkLibraryFor(c.host, c.protocols), c.library) << cstr(c.host);
}

// ------------------------------------------------------------- the ADO base

TEST_F(AdoStandIn, ConnectSendsStringLoginAndSessionStatements) {
    ScopedRegistryValue connectionTimeout(ConfigKey::subKey(), L"ADOConnectionTimeout");
    ScopedRegistryValue commandTimeout(ConfigKey::subKey(), L"ADOCommandTimeout");
    struct Case {
        DWORD connectionSeconds, commandSeconds;
        Lines expected;
    } cases[] = {
        // 0 keeps ADO's own defaults.
        {0, 0,
         {L"CursorLocation 3", L"Open Provider=SQLOLEDB.1;Initial Catalog=panel;Data Source=db.example|sa|pw",
          L"Execute SET DATEFORMAT ymd", L"Execute SET TRANSACTION ISOLATION LEVEL READ UNCOMMITTED"}},
        {15, 40,
         {L"CursorLocation 3", L"ConnectionTimeout 15",
          L"Open Provider=SQLOLEDB.1;Initial Catalog=panel;Data Source=db.example|sa|pw", L"CommandTimeout 40",
          L"Execute SET DATEFORMAT ymd", L"Execute SET TRANSACTION ISOLATION LEVEL READ UNCOMMITTED"}},
    };
    for (const Case& c : cases) {
        connectionTimeout.set(c.connectionSeconds);
        commandTimeout.set(c.commandSeconds);
        script().calls.clear();
        {
            MSSQLDatabaseProvider provider;
            provider.connect(L"db.example", L"panel", L"sa", L"pw", 1433, L"sock");
            EXPECT_TRUE(provider.isConnected());
            EXPECT_TRUE(provider.ping());
            EXPECT_EQ(provider.version(), L"1.0");
            EXPECT_EQ(provider.name(), L"MSSQL");
        }
        Lines expected = c.expected;
        expected.push_back(L"Close");  // the destructor disconnects
        EXPECT_EQ(joined(script().calls), joined(expected));
    }
    // No database: the master catalogue.
    MSSQLDatabaseProvider provider;
    EXPECT_EQ(provider.connectionString(L"h", L""), L"Provider=SQLOLEDB.1;Initial Catalog=master;Data Source=h");
}

TEST_F(AdoStandIn, UnreadableTimeoutIsIgnored) {
    ScopedRegistryValue timeout(ConfigKey::subKey(), L"ADOConnectionTimeout");
    RegKey key = registry::create(HKEY_LOCAL_MACHINE, ConfigKey::subKey(), KEY_ALL_ACCESS);
    registry::set(key, L"ADOConnectionTimeout", L"not a number");
    MSSQLDatabaseProvider provider;
    provider.connect(L"db.example", L"", L"sa", L"pw", 0, L"");
    EXPECT_TRUE(provider.isConnected());
    EXPECT_TRUE(script().callsStartingWith(L"ConnectionTimeout").empty());
}

TEST_F(AdoStandIn, FailuresCarryTheErrorsCollection) {
    script().errorDescriptions = {L"Login failed for user 'sa'.", L"Cannot open database \"panel\"."};
    failOn(L"Data Source=db.example");
    MSSQLDatabaseProvider provider;
    EXPECT_EQ(thrownText([&] { provider.connect(L"db.example", L"panel", L"sa", L"pw", 0, L""); }),
              L"Unable to ADO conect with connection string: Provider=SQLOLEDB.1;Initial Catalog=panel;Data "
              L"Source=db.example Login failed for user 'sa'. Cannot open database \"panel\".");
    EXPECT_FALSE(provider.isConnected());

    // Objects that cannot be made at all: the connection reports E_POINTER's text.
    script().failCreation = true;
    std::wstring text = thrownText([&] { provider.connect(L"other", L"", L"sa", L"pw", 0, L""); });
    EXPECT_EQ(text.find(L"Unable to ADO conect with connection string: Provider=SQLOLEDB.1;Initial Catalog=master;Data Source=other "), 0u) << cstr(text);
    EXPECT_NE(text.find(L"80004003"), std::wstring::npos) << cstr(text);
    script().failCreation = false;

    // A statement the server refuses: the COM error, and lastError joins the descriptions.
    script().failing.clear();
    script().errorDescriptions = {L"Invalid object name 'nothere'.", L"Statement(s) could not be prepared."};
    provider.connect(L"db.example", L"panel", L"sa", L"pw", 0, L"");
    failOn(L"nothere");
    try {
        provider.execute(L"delete from `nothere`");
        ADD_FAILURE() << "no exception";
    } catch (const ComError& e) {
        EXPECT_EQ(e.error(), E_FAIL);
    }
    EXPECT_EQ(provider.lastError(), L"Invalid object name 'nothere'. Statement(s) could not be prepared.");
    EXPECT_THROW(RecordSetRef(provider.query(L"select * from nothere")), ComError);
    provider.execute(L"select 1");
    EXPECT_EQ(provider.lastError(), L"");
}

TEST_F(AdoStandIn, RecordSetOverScriptedRows) {
    using namespace adostandin;
    SYSTEMTIME when = {2008, 1, 4, 31, 23, 59, 0, 0};
    double day = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&when, &day));
    script().results[L"select * from [t]"] = Rows{
        {L"id", L"name", L"born", L"raw", L"note"},
        {3, 202, 135, 205, 202},
        {{integer(1), text(L"Ann"), date(day), bytes("bin\xE9"), null()},
         {integer(2), text(L""), null(), bytes(""), text(L"x")},
         {integer(-3), text(L"Zoë"), date(day + 0.5), null(), text(L"")}}};
    MSSQLDatabaseProvider provider;
    provider.connect(L"db.example", L"panel", L"sa", L"pw", 0, L"");
    IDatabaseRecordSet* raw = provider.query(L"select * from `t`");
    RecordSetRef records(raw);
    EXPECT_EQ(records->fieldCount(), 5u);
    EXPECT_EQ(records->rowCount(), 3u);
    EXPECT_EQ(records->fieldIndex(L"born"), 2);
    EXPECT_EQ(records->fieldIndex(L"BORN"), -1);
    EXPECT_FALSE(records->hasField(L"missing"));
    EXPECT_TRUE(records->hasField(L"note"));
    EXPECT_EQ(records->fieldName(1), L"name");

    Lines seen;
    while (records->next()) {
        std::wstring row;
        for (unsigned i = 0; i < records->fieldCount(); ++i) {
            row += records->getValue(i, L"<null>", false) + L"|";
        }
        row += records->isNull(1, true) ? L"empty-name" : L"named";
        row += records->isEmpty(4, true) ? L" note-empty-or-null" : L" note";
        seen.push_back(row);
    }
    EXPECT_EQ(joined(seen), joined({L"1|Ann|2008-01-31 23:59:00|bin\u00E9|<null>|named note-empty-or-null",
                                     L"2||<null>||x|empty-name note",
                                     L"-3|Zo\u00EB|2008-02-01 11:59:00|<null>||named note-empty-or-null"}));
    EXPECT_FALSE(records->next());

    // Positioning: the next call yields the first (last) row.
    ASSERT_TRUE(records->moveLast());
    ASSERT_TRUE(records->next());
    EXPECT_EQ(records->getValue(0, L"", false), L"-3");
    EXPECT_FALSE(records->next());
    ASSERT_TRUE(records->moveFirst());
    ASSERT_TRUE(records->next());
    EXPECT_EQ(records->getValue(1, L"", false), L"Ann");
    std::wstring value = L"untouched";
    EXPECT_FALSE(records->tryGetValue(4, value, false));
    EXPECT_EQ(value, L"untouched");
    EXPECT_TRUE(records->next());
    EXPECT_FALSE(records->tryGetValue(1, value, true));  // empty counts as NULL
    EXPECT_TRUE(records->tryGetValue(1, value, false));
    EXPECT_EQ(value, L"");
    EXPECT_FALSE(records->isEmpty(2, false));  // NULL with valueIfNull false
    EXPECT_EQ(adoColumnType(*records.get(), 2), 135);

    // The record set outlives the provider's connection as long as it is held.
    provider.disconnect();
    EXPECT_EQ(records->fieldName(0), L"id");

    // An empty result: next is false at once, and so are the moves.
    MSSQLDatabaseProvider second;
    second.connect(L"db.example", L"panel", L"sa", L"pw", 0, L"");
    RecordSetRef empty(second.query(L"select * from `none`"));
    EXPECT_FALSE(empty->moveFirst());
    EXPECT_FALSE(empty->moveLast());
    EXPECT_FALSE(empty->next());
    EXPECT_EQ(empty->rowCount(), 0u);
    EXPECT_EQ(empty->fieldIndex(L"id"), -1);
}

TEST_F(AdoStandIn, TransactionsIdentityInsertAndCounters) {
    using namespace adostandin;
    MSSQLDatabaseProvider provider;
    provider.connect(L"db.example", L"panel", L"sa", L"pw", 0, L"");
    script().calls.clear();

    provider.beginTransaction();
    provider.beginTransaction();
    EXPECT_EQ(provider.transactionDepth(), 2);
    provider.beginImplicitTransaction(L"t");  // inside an explicit one: nothing
    provider.endImplicitTransaction();        // and nothing to commit
    provider.commit();
    provider.rollback();
    EXPECT_EQ(provider.transactionDepth(), 0);
    provider.beginImplicitTransaction(L"t");
    EXPECT_EQ(provider.transactionDepth(), 1);
    provider.endImplicitTransaction();
    provider.endImplicitTransaction();  // already ended
    EXPECT_EQ(provider.transactionDepth(), 0);
    EXPECT_EQ(joined(script().calls), joined({L"BeginTrans", L"BeginTrans", L"CommitTrans", L"RollbackTrans",
                                              L"BeginTrans", L"CommitTrans"}));

    script().calls.clear();
    provider.setIdentityInsert(L"t1");
    provider.setIdentityInsert(L"t2");
    provider.setIdentityInsert(L"");
    provider.setIdentityInsert(L"");
    EXPECT_EQ(joined(script().statements()),
              joined({L"set IDENTITY_INSERT [t1] ON", L"set IDENTITY_INSERT [t1] OFF", L"set IDENTITY_INSERT [t2] ON",
                      L"set IDENTITY_INSERT [t2] OFF"}));

    // Counters: one more than the column's maximum; 1 for an empty table or NULL.
    struct Case {
        Rows result;
        uint64_t expected;
    } cases[] = {
        {oneValue(integer(41), 3), 42},
        {oneValue(null(), 3), 1},
        {Rows{{L"value"}, {3}, {}}, 1},
        {oneValue(text(L""), 202), 1},
    };
    for (const Case& c : cases) {
        script().results[L"select max([id]) from [clients] with (TABLOCK)"] = c.result;
        EXPECT_EQ(provider.nextCounter(L"clients", L"id"), c.expected);
    }

    script().results[L"SELECT @@IDENTITY"] = oneValue(text(L"77"));
    EXPECT_EQ(provider.lastInsertId(), 77u);
    script().results.erase(L"SELECT @@IDENTITY");
    EXPECT_EQ(provider.lastInsertId(), 0u);

    script().calls.clear();
    script().results[L"SELECT TABLE_NAME FROM INFORMATION_SCHEMA.TABLES WHERE TABLE_SCHEMA = N'dbo'and TABLE_TYPE = "
                     L"N'BASE TABLE' and TABLE_NAME = N'o''k' "] = oneValue(text(L"o'k"));
    EXPECT_TRUE(provider.tableExists(L"o'k"));
    EXPECT_FALSE(provider.tableExists(L"other"));
    provider.setPassword(L"n\"ew", L"o'ld");
    provider.useDatabase(L"panel");
    provider.replace(L"delete from `t` where id=1", L"insert into `t` values(1, 'a')");
    Lines statements = script().statements();
    ASSERT_EQ(statements.size(), 6u);
    EXPECT_EQ(statements[2], L"SP_PASSWORD N'o''ld', N'n\"ew'");
    EXPECT_EQ(statements[3], L"use panel");
    EXPECT_EQ(statements[4], L"delete from [t] where id=1");
    EXPECT_EQ(statements[5], L"insert into [t] values(1, N'a')");
}

TEST_F(AdoStandIn, NetworkLibraryForLocalServers) {
    const wchar_t* const key = L"SOFTWARE\\Microsoft\\MSSQLServer\\MSSQLServer\\SuperSocketNetLib";
    ScopedRegistryValue protocols(key, L"ProtocolList", L"SOFTWARE\\Microsoft\\MSSQLServer");
    protocols.setMulti(std::wstring(L"tcp\0np\0sm\0", 10));
    {
        MSSQLDatabaseProvider provider;
        provider.connect(L"localhost", L"panel", L"sa", L"pw", 0, L"");
        provider.connect(L"db.example", L"panel", L"sa", L"pw", 0, L"");
    }
    // A library the server refuses: one more try without it.
    failOn(L"Network Library=");
    {
        MSSQLDatabaseProvider provider;
        provider.connect(L"127.0.0.1", L"", L"sa", L"pw", 0, L"");
        EXPECT_EQ(provider.connectionString(L"127.0.0.1", L""),
                  L"Provider=SQLOLEDB.1;Initial Catalog=master;Data Source=127.0.0.1");
    }
    EXPECT_EQ(joined(script().callsStartingWith(L"Open")),
              joined({L"Open Provider=SQLOLEDB.1;Initial Catalog=panel;Data Source=localhost;Network Library=dbnmpntw|sa|pw",
                      L"Open Provider=SQLOLEDB.1;Initial Catalog=panel;Data Source=db.example|sa|pw",
                      L"Open Provider=SQLOLEDB.1;Initial Catalog=master;Data Source=127.0.0.1;Network Library=dbnmpntw|sa|pw",
                      L"Open Provider=SQLOLEDB.1;Initial Catalog=master;Data Source=127.0.0.1|sa|pw"}));
}

// ------------------------------------------------------------------- Jet

class JetStandIn : public AdoStandIn {
protected:
    JetStandIn() {
        standin::Server::Options options;
        options.file = "param PRODUCT_ROOT_D=C:/Orvex/HVC/\n";
        service_ = std::make_unique<standin::Server>(options);
    }
    std::unique_ptr<standin::Server> service_;
};

TEST_F(JetStandIn, ConnectSetsTemporaryDirectoryAndProperties) {
    ASSERT_TRUE(service_->running());
    wchar_t savedTemp[MAX_PATH] = {}, savedTmp[MAX_PATH] = {};
    GetEnvironmentVariableW(L"TEMP", savedTemp, MAX_PATH);
    GetEnvironmentVariableW(L"TMP", savedTmp, MAX_PATH);
    {
        JetDatabaseProvider provider;
        provider.connect(L"localhost", L"C:\\data\\panel.mdb", L"admin", L"secret", 0, L"");
        wchar_t temp[MAX_PATH] = {}, tmp[MAX_PATH] = {};
        GetEnvironmentVariableW(L"TEMP", temp, MAX_PATH);
        GetEnvironmentVariableW(L"TMP", tmp, MAX_PATH);
        SetEnvironmentVariableW(L"TEMP", savedTemp);
        SetEnvironmentVariableW(L"TMP", savedTmp);
        EXPECT_STREQ(temp, L"C:\\Orvex\\HVC\\admin\\db");
        EXPECT_STREQ(tmp, L"C:\\Orvex\\HVC\\admin\\db");
        EXPECT_EQ(provider.name(), L"Jet");
        script().results[L"SELECT @@IDENTITY"] = oneValue(adostandin::text(L"12"));
        EXPECT_EQ(provider.nextCounter(L"ignored", L"ignored"), 12u);
        provider.execute(L"update `t` set `v` = \"a\"\"b\" where `w` = 'c''d'");
        // Jet knows no identity insert, implicit transactions or passwords.
        provider.setIdentityInsert(L"t");
        provider.beginImplicitTransaction(L"t");
        provider.endImplicitTransaction();
        provider.setPassword(L"new", L"old");
        EXPECT_EQ(provider.transactionDepth(), 0);
    }
    EXPECT_EQ(joined(script().calls),
              joined({L"CursorLocation 3", std::wstring(L"Open ") + jetProvider + L"C:\\data\\panel.mdb||",
                      L"Property Jet OLEDB:Transaction Commit Mode=1", L"Property Jet OLEDB:Implicit Commit Sync=1",
                      L"Execute insert into ms_jet_counter(val) values( 0 )", L"Query SELECT @@IDENTITY",
                      L"Execute delete from ms_jet_counter", L"Execute update [t] set [v] = 'a\"b' where [w] = 'c''d'",
                      L"Close"}));

    // Only local files: refused before any ADO object is made.
    script().calls.clear();
    JetDatabaseProvider provider;
    for (const wchar_t* host : {L"db.example", L"127.0.0.1"})
        EXPECT_EQ(thrownText([&] { provider.connect(host, L"C:\\x.mdb", L"", L"", 0, L""); }),
                  L"Jet support only local databases");
    EXPECT_TRUE(script().calls.empty());
}

TEST_F(JetStandIn, RemoteHostsAreRefused) {
    JetDatabaseProvider provider;
    struct Case {
        std::function<void()> call;
        const char* function;
    } cases[] = {
        {[&] { provider.connectionString(L"db.example", L"C:\\x.mdb"); }, "JetDatabaseProvider::connectionString"},
        {[&] { provider.createDatabase(L"db.example", L"C:\\x.mdb"); }, "JetDatabaseProvider::CreateDatabase"},
        {[&] { provider.ImportSchema(L"none.xml", L"db.example", L"C:\\x.mdb", L"", L"", 0, L"", true, L"", L""); },
         "JetDatabaseProvider::ImportSchema"},
        {[&] { provider.ImportData(L"none.xml", L"db.example", L"C:\\x.mdb", L"", L"", 0, L""); },
         "JetDatabaseProvider::ImportData"},
    };
    for (const Case& c : cases) {
        vexception e = testutil::failureOf(c.call);
        EXPECT_EQ(e.message(), L"Jet support only local databases");
        EXPECT_EQ(e.locations().front().function, c.function);
    }
    EXPECT_EQ(provider.connectionString(L"", L"C:\\x.mdb"), std::wstring(jetProvider) + L"C:\\x.mdb");
    EXPECT_TRUE(script().calls.empty());
}

TEST_F(JetStandIn, CreateDatabaseKeepsOldFilesUnderFreeBackupNames) {
    TempDir dir;
    const std::wstring file = dir.file(L"panel.mdb");
    struct Case {
        Lines existing;       // before
        const wchar_t* suffix;  // the backup stem found
        Lines after;          // files present afterwards (the new file is ADOX's to make)
    } cases[] = {
        {{}, L"", {}},
        {{L"panel.mdb"}, L"", {L"panel.mdb.old"}},
        {{L"panel.mdw"}, L"", {L"panel.mdb.oldmdw"}},
        {{L"panel.mdb", L"panel.mdw", L"panel.mdb.old", L"panel.mdb[1].oldmdw"}, L"[2]",
         {L"panel.mdb.old", L"panel.mdb[1].oldmdw", L"panel.mdb[2].old", L"panel.mdb[2].oldmdw"}},
        // Only the stem with the extension counts: panel.old is no backup of panel.mdb.
        {{L"panel.mdb", L"panel.old"}, L"", {L"panel.mdb.old", L"panel.old"}},
    };
    auto listing = [&] {
        Lines names;
        WIN32_FIND_DATAW data;
        UniqueFindHandle find(FindFirstFileW(dir.file(L"*").c_str(), &data));
        if (find)
            do
                if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(data.cFileName);
            while (FindNextFileW(find.get(), &data));
        std::sort(names.begin(), names.end());
        return names;
    };
    int n = 0;
    for (const Case& c : cases) {
        for (const std::wstring& name : listing()) DeleteFileW(dir.file(name).c_str());
        for (const std::wstring& name : c.existing) dir.write(name, name);
        std::wstring suffix = L"(none)";
        EXPECT_TRUE(findJetBackupSuffix(file, suffix));
        EXPECT_EQ(suffix, c.suffix) << "case " << n;
        script().calls.clear();
        JetDatabaseProvider provider;
        provider.createDatabase(L"localhost", file);
        EXPECT_EQ(joined(listing()), joined(c.after)) << "case " << n;
        EXPECT_EQ(joined(script().calls), L"Create Provider='Microsoft.Jet.OLEDB.4.0';Data Source='" + file + L"'\n");
        ++n;
    }
    EXPECT_EQ(jetWorkgroupFile(L"C:\\a.b\\panel"), L"C:\\a.b\\panel.mdw");
    EXPECT_EQ(jetWorkgroupFile(L"C:\\a\\panel.x.mdb"), L"C:\\a\\panel.x.mdw");
}

TEST_F(JetStandIn, CatalogueListsTablesAndAnswersExistence) {
    using namespace adostandin;
    script().catalog = {{L"people", L"TABLE", {}},
                        {L"MSysObjects", L"SYSTEM TABLE", {}},
                        {L"everyone", L"VIEW", {}},
                        {L"ms_jet_counter", L"TABLE", {}},
                        {L"plain", L"TABLE", {}}};
    script().results[L"select * from [people]"] = Rows{{L"id", L"name"}, {3, 202}, {{integer(1), null()}}};
    JetDatabaseProvider provider;
    provider.connect(L"", L"C:\\data\\panel.mdb", L"", L"", 0, L"");
    EXPECT_TRUE(provider.tableExists(L"people"));
    EXPECT_TRUE(provider.tableExists(L"everyone"));  // any entry of the collection
    EXPECT_FALSE(provider.tableExists(L"nothere"));

    // The export takes the entries of type TABLE in collection order, except the counter table.
    dbtest::ComApartment com;
    ComPtr<IXMLDOMDocument> document;
    ASSERT_EQ(CoCreateInstance(msxml::domDocument30, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                               document.putVoid()),
              S_OK);
    script().calls.clear();
    provider.exportDataToNode(document.get());
    EXPECT_EQ(joined(script().statements()), joined({L"select * from [people]", L"select * from [plain]"}));
    ComPtr<IXMLDOMNodeList> list;
    UniqueBstr tag(SysAllocString(L"field"));
    ASSERT_EQ(document->getElementsByTagName(tag.get(), list.put()), S_OK);
    long count = 0;
    list->get_length(&count);
    EXPECT_EQ(count, 2);
    // The catalogue has a connection of its own to the file.
    EXPECT_EQ(script().callsStartingWith(L"Catalog").at(0),
              L"Catalog Provider='Microsoft.Jet.OLEDB.4.0';Data Source='C:\\data\\panel.mdb'");
}

// ------------------------------------------------------------- importers

namespace {

const wchar_t* const schemaDocument =
    L"<?xml version=\"1.0\" encoding=\"UTF-8\"?><schema><table name=\"people\">"
    L"<column name=\"id\" type=\"int(11)\" null=\"NO\" default=\"0\" extra=\"auto_increment\"/>"
    L"<column name=\"name\" type=\"varchar(40)\" null=\"YES\" default=\"\" extra=\"\"/>"
    L"<column name=\"born\" type=\"datetime\" null=\"NO\" default=\"0000-00-00 00:00:00\" extra=\"\"/>"
    L"<column name=\"kind\" type=\"enum('a','b')\" null=\"NO\" default=\"a\"/>"
    L"<column name=\"seen\" type=\"timestamp\" null=\"YES\" default=\"CURRENT_TIMESTAMP\"/>"
    L"<index key_name=\"PRIMARY\" column_name=\"id\" non_unique=\"0\" Collation=\"A\"/>"
    L"<index key_name=\"byname\" column_name=\"name\" non_unique=\"1\" Collation=\"A\" null=\"YES\"/>"
    L"<index key_name=\"byname\" column_name=\"born\" non_unique=\"1\" Collation=\"D\" null=\"\"/>"
    L"<index key_name=\"uk\" column_name=\"kind\" non_unique=\"0\" Collation=\"A\"/>"
    L"</table></schema>";

const wchar_t* const dataDocument =
    L"<?xml version=\"1.0\" encoding=\"UTF-8\"?><data><table name=\"people\">"
    L"<row><field name=\"id\" value=\"1\"/><field name=\"name\" value=\"O'Hara\"/>"
    L"<field name=\"born\" value=\"0000-00-00 00:00:00\"/><field name=\"kind\" isnull=\"true\" value=\"x\"/></row>"
    L"<row><field name=\"id\" value=\"2\"/><field name=\"name\" value=\"dup\">licate</field>"
    L"<field name=\"born\" value=\"2008-01-31 23:59:00\"/><field name=\"kind\">b</field></row>"
    L"<row><field name=\"id\" value=\"3\"/><field name=\"name\" value=\"0000-00-00\"/>"
    L"<field name=\"born\" value=\"0000-00-00\"/><field name=\"kind\" value=\"a\"/></row>"
    L"</table><table name=\"empty\"/></data>";

// The statements from the first one that begins with `from` up to the
// counter table's reset.
Lines slice(const Lines& statements, const std::wstring& from) {
    Lines found;
    bool inside = false;
    for (const std::wstring& statement : statements) {
        if (statement.compare(0, from.size(), from) == 0) inside = true;
        if (statement.compare(0, 11, L"select max(") == 0) break;
        if (inside) found.push_back(statement);
    }
    return found;
}

}  // namespace

TEST_F(JetStandIn, SchemaAndDataImports) {
    using namespace adostandin;
    dbtest::ComApartment com;
    TempDir dir;
    const std::wstring file = dir.file(L"panel.mdb");
    failOn(L"DROP TABLE [people]");  // the table does not exist yet: ignored
    JetDatabaseProvider provider;
    provider.ImportSchema(dir.write(L"schema.xml", schemaDocument), L"localhost", file, L"admin", L"pw", 0, L"",
                          false, L"", L"");
    Lines statements = script().statements();
    EXPECT_EQ(joined(slice(statements, L"DROP TABLE [people]")),
              joined({L"DROP TABLE [people]",
                      L"CREATE TABLE [people]([id] COUNTER( 1, 1) NOT NULL , [name] TEXT(40) , [born] DATETIME NOT NULL , "
                      L"[kind] TEXT(255) NOT NULL , [seen] DATETIME )",
                      L"CREATE UNIQUE INDEX [peoplePrimaryKey] ON  [people]([id]ASC) WITH PRIMARY",
                      L"CREATE INDEX [bynameIndex] ON  [people]([name]ASC, [born]DESC)",
                      L"CREATE UNIQUE INDEX [ukIndex] ON  [people]([kind]ASC) WITH DISALLOW NULL",
                      L"DROP TABLE [ms_jet_counter]", L"create table ms_jet_counter(id counter(1,1), val int)"}));
    // The counter table starts above the highest id of the counted tables.
    script().results[L"select max([id]) from [ip_pool]"] = oneValue(integer(40), 3);
    script().calls.clear();
    script().failing = {L"duplicate"};
    script().catalog = {{L"people", L"TABLE", {{L"id", 3}, {L"name", 202}, {L"born", 7}, {L"kind", 202}}},
                        {L"empty", L"TABLE", {}}};
    auto& errors = dbtest::ErrorCapture::start();
    provider.ImportData(dir.write(L"data.xml", dataDocument), L"", file, L"admin", L"pw", 0, L"");
    statements = script().statements();
    EXPECT_EQ(joined(slice(statements, L"delete from [people]")),
              joined({L"delete from [people]",
                      L"INSERT INTO [people]([id],[name],[born],[kind]) VALUES ('1','O''Hara',0,NULL)",
                      L"INSERT INTO [people]([id],[name],[born],[kind]) VALUES ('2','duplicate','2008-01-31 23:59:00','b')",
                      // Only a date-class column turns a zero date into 0.
                      L"INSERT INTO [people]([id],[name],[born],[kind]) VALUES ('3','0000-00-00',0,'a')",
                      L"delete from [empty]"}));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].where.find(L"JetDataImporter::endElement:"), 0u) << cstr(errors[0].where);
    // A COM failure carries the context in its message.
    EXPECT_NE((errors[0].message + errors[0].where)
                  .find(L"Unable to import data row: INSERT INTO [people]([id],[name],[born],[kind]) VALUES ('2','duplicate'"),
              std::wstring::npos);
    Lines tail(std::find(statements.begin(), statements.end(), L"delete from ms_jet_counter"), statements.end());
    EXPECT_EQ(joined(tail), joined({L"delete from ms_jet_counter", L"insert into ms_jet_counter([id], [val]) values( 41, 0 )"}));
}

TEST_F(AdoStandIn, SqlServerSchemaImportCreatesLoginAndDatabase) {
    using namespace adostandin;
    dbtest::ComApartment com;
    TempDir dir;
    std::wstring schema = dir.write(L"schema.xml", schemaDocument);
    const std::wstring loginQuery = L"SELECT name FROM master.sys.server_principals WHERE name=N'paneluser'";
    failOn(L"DENY ALTER ANY DATABASE DDL TRIGGER");  // an old server: logged, and the import goes on
    {
        MSSQLDatabaseProvider provider;
        provider.ImportSchema(schema, L"db.example", L"panel", L"paneluser", L"pa'ss", 0, L"", true, L"sa", L"sapw");
    }
    Lines calls;
    for (const std::wstring& call : script().calls)
        if (call.find(L"SET ") == std::wstring::npos && call.find(L"select max(") == std::wstring::npos) calls.push_back(call);
    ASSERT_GE(calls.size(), 13u);
    EXPECT_EQ(calls[0], L"CursorLocation 3");
    EXPECT_EQ(calls[1], L"Open Provider=SQLOLEDB.1;Initial Catalog=master;Data Source=db.example|sa|sapw");
    EXPECT_NE(calls[2].find(loginQuery), std::wstring::npos) << cstr(calls[2]);
    // The account statements go out untranslated.
    Lines expected = {L"Execute exec master.dbo.sp_addlogin 'paneluser', N'pa'ss', [master]",
                      L"Execute exec [master].dbo.sp_grantdbaccess 'paneluser'",
                      L"Execute exec [master].dbo.sp_addrolemember 'db_owner', 'paneluser'",
                      L"Execute USE master;DENY ALTER ANY DATABASE DDL TRIGGER TO [paneluser]",
                      L"Execute EXEC [master].dbo.sp_addsrvrolemember N'paneluser', N'dbcreator'",
                      L"Close",
                      L"CursorLocation 3",
                      L"Open Provider=SQLOLEDB.1;Initial Catalog=master;Data Source=db.example|paneluser|pa'ss",
                      L"Query select DB_ID(N'panel')",
                      L"Execute CREATE DATABASE [panel] collate Latin1_General_CI_AS",
                      L"Execute USE [panel]",
                      // A fresh database: nothing is dropped.
                      L"Execute CREATE TABLE [people] ([id] int DEFAULT (N'0') IDENTITY(1,1) NOT NULL , [name] nvarchar(40) "
                      L"NULL , [born] datetime DEFAULT (0) NOT NULL , [kind] nvarchar(255) DEFAULT (N'a') NOT NULL , "
                      L"[seen] datetime DEFAULT (CURRENT_TIMESTAMP) NULL , CONSTRAINT [peoplePrimaryKey] PRIMARY KEY "
                      L"([id] ASC), CONSTRAINT [peopleUniqueuk] UNIQUE ([kind] ASC))",
                      L"Execute CREATE INDEX [bynameIndex] ON  [people]([name] ASC, [born] DESC)",
                      L"Execute create table ms_jet_counter(id int IDENTITY(1,1) NOT NULL, val int)",
                      L"Execute delete from ms_jet_counter",
                      L"Execute set IDENTITY_INSERT [ms_jet_counter] ON",
                      L"Execute insert into ms_jet_counter([id], [val]) values( 1, 0 )",
                      L"Execute set IDENTITY_INSERT [ms_jet_counter] OFF",
                      L"Close"};
    EXPECT_EQ(joined(Lines(calls.begin() + 3, calls.end())), joined(expected));

    // The login query as it reaches ADO; without a row the login is free.
    std::wstring loginStatement;
    {
        MSSQLDatabaseProvider probe;
        probe.connect(L"db.example", L"", L"sa", L"sapw", 0, L"");
        script().calls.clear();
        EXPECT_FALSE(probe.loginExists(L"paneluser"));
        loginStatement = script().statements().at(0);
    }
    // An existing login, or an existing database with recreate, stops the
    // import before anything is created.
    struct Case {
        std::wstring answered;  // the query that yields a row
        const wchar_t* manager;
        std::wstring error;
    } cases[] = {
        {loginStatement, L"sa", L"User paneluser already exists"},
        {L"select DB_ID(N'panel')", L"", L"HVC database already exists"},
    };
    for (const Case& c : cases) {
        script().calls.clear();
        script().results.clear();
        script().results[c.answered] = oneValue(integer(5), 3);
        MSSQLDatabaseProvider provider;
        EXPECT_EQ(thrownText([&] {
                      provider.ImportSchema(schema, L"db.example", L"panel", L"paneluser", L"pw", 0, L"", true,
                                            c.manager, L"sapw");
                  }),
                  c.error);
        for (const std::wstring& statement : script().statements()) {
            EXPECT_EQ(statement.find(L"CREATE"), std::wstring::npos) << cstr(statement);
            EXPECT_EQ(statement.find(L"sp_addlogin"), std::wstring::npos) << cstr(statement);
        }
    }
}

TEST_F(AdoStandIn, SqlServerDataImportWithIdentityInsertAndZeroDates) {
    using namespace adostandin;
    dbtest::ComApartment com;
    TempDir dir;
    for (const auto& column : {std::make_pair(L"id", 3), std::make_pair(L"name", 202), std::make_pair(L"born", 135),
                               std::make_pair(L"kind", 202)})
        script().results[format(L"select [%ls] from [people] where 1=0  ", column.first)] =
            Rows{{column.first}, {column.second}, {}};
    script().results[L"SELECT  COLUMNPROPERTY(object_id(N'people'), N'id', N'IsIdentity')"] = oneValue(integer(1), 3);
    script().results[L"SELECT  COLUMNPROPERTY(object_id(N'people'), N'name', N'IsIdentity')"] = oneValue(integer(0), 3);
    failOn(L"N'duplicate'");
    auto& errors = dbtest::ErrorCapture::start();
    MSSQLDatabaseProvider provider;
    provider.ImportData(dir.write(L"data.xml", dataDocument), L"db.example", L"panel", L"sa", L"pw", 0, L"");
    Lines statements = script().statements();
    EXPECT_EQ(joined(slice(statements, L"USE [panel]")),
              joined({L"USE [panel]", L"delete from [people]",
                      L"select [id] from [people] where 1=0  ",
                      L"SELECT  COLUMNPROPERTY(object_id(N'people'), N'id', N'IsIdentity')",
                      L"select [name] from [people] where 1=0  ",
                      L"SELECT  COLUMNPROPERTY(object_id(N'people'), N'name', N'IsIdentity')",
                      L"select [born] from [people] where 1=0  ",
                      L"SELECT  COLUMNPROPERTY(object_id(N'people'), N'born', N'IsIdentity')",
                      L"select [kind] from [people] where 1=0  ",
                      L"SELECT  COLUMNPROPERTY(object_id(N'people'), N'kind', N'IsIdentity')",
                      L"SET IDENTITY_INSERT [people] ON",
                      L"INSERT INTO [people] ([id],[name],[born],[kind]) VALUES (N'1',N'O''Hara',N'1753-01-01 00:00:00',NULL)",
                      L"INSERT INTO [people] ([id],[name],[born],[kind]) VALUES (N'2',N'duplicate',N'2008-01-31 23:59:00',N'b')",
                      L"INSERT INTO [people] ([id],[name],[born],[kind]) VALUES (N'3',N'0000-00-00',N'1753-01-01 00:00:00',N'a')",
                      L"SET IDENTITY_INSERT [people] OFF",
                      L"delete from [empty]"}));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].where.find(L"MSSQLDataImporter::endElement:"), 0u) << cstr(errors[0].where);
    EXPECT_EQ(script().callsStartingWith(L"Open").at(0),
              L"Open Provider=SQLOLEDB.1;Initial Catalog=master;Data Source=db.example|sa|pw");
}

TEST(AdoFactory, BuildsEveryBackEnd) {
    struct Case {
        const wchar_t* name;
        const wchar_t* built;
    } cases[] = {{L"", L"MySQL"}, {L"MySQL", L"MySQL"}, {L"Jet", L"Jet"}, {L"MSSQL", L"MSSQL"},
                 {L"jet", nullptr}, {L"mssql", nullptr}, {L"ADO", nullptr}};
    for (const Case& c : cases) {
        if (c.built) {
            std::unique_ptr<IDatabaseProvider> provider(IDatabaseProvider::Create(c.name));
            ASSERT_TRUE(provider);
            EXPECT_EQ(provider->name(), c.built);
            EXPECT_FALSE(provider->isConnected());
        } else {
            EXPECT_EQ(thrownText([&] { delete IDatabaseProvider::Create(c.name); }),
                      std::wstring(L"Unable to build database provider ") + c.name);
        }
    }
}

// A type the table does not know ends the schema import; the tables before
// it stay. Jet does not look at the type of an auto_increment column.
TEST_F(JetStandIn, UnknownTypesEndTheSchemaImport) {
    dbtest::ComApartment com;
    TempDir dir;
    const std::wstring good = L"<table name=\"first\"><column name=\"a\" type=\"int(11)\" null=\"YES\"/></table>";
    struct Case {
        const wchar_t* column;
        const wchar_t* jetError;    // null: imported
        const wchar_t* mssqlError;
    } cases[] = {
        {L"<column name=\"id\" type=\"mediumint(9)\" null=\"NO\"/>", L"Unable to understand type mediumint(9)",
         L"Unable to understand type mediumint(9)"},
        {L"<column name=\"id\" type=\"mediumint(9)\" null=\"NO\" extra=\"auto_increment\"/>", nullptr,
         L"Unable to understand type mediumint(9)"},
    };
    JetDatabaseProvider jet;
    jet.connect(L"", L"C:\\data\\panel.mdb", L"", L"", 0, L"");
    MSSQLDatabaseProvider mssql;
    mssql.connect(L"db.example", L"panel", L"sa", L"pw", 0, L"");
    for (const Case& c : cases) {
        std::wstring document =
            dir.write(L"schema.xml", L"<schema>" + good + L"<table name=\"second\">" + c.column + L"</table></schema>");
        script().calls.clear();
        JetSchemaImporter jetImporter(jet, true);
        EXPECT_EQ(thrownText([&] { jetImporter.parseURL(document); }), c.jetError ? c.jetError : L"(no exception)");
        Lines expected = {L"CREATE TABLE [first]([a] INTEGER )"};
        if (!c.jetError) expected.push_back(L"CREATE TABLE [second]([id] COUNTER( 1, 1) NOT NULL )");
        EXPECT_EQ(joined(script().statements()), joined(expected));

        script().calls.clear();
        MSSQLSchemaImporter mssqlImporter(mssql, true);
        EXPECT_EQ(thrownText([&] { mssqlImporter.parseURL(document); }), c.mssqlError);
        EXPECT_EQ(joined(script().statements()), L"CREATE TABLE [first] ([a] int NULL )\n");
    }
}
