// The ADO back ends (Jet, SQL Server) against the in-process ADO stand-in:
// translated statements, connection strings, transactions, record sets,
// error texts, Jet backups and the importers' statements.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <functional>
#include <memory>

#include "adostandin.h"
#include "database/ado.h"
#include "database/import/jetimport.h"
#include "database/import/mssqlimport.h"
#include "database/jet.h"
#include "database/mssql.h"
#include "database/quotes.h"
#include "db_testenv.h"
#include "runtime/comerror.h"
#include "runtime/registry.h"
#include "standin.h"
#include "testutil.h"

using Lines = std::vector<std::wstring>;
using dbtest::TempDir;
using dbtest::thrownText;
using namespace adostandin;

namespace {

// At the end every object the stand-in handed out must be released.
class AdoStandIn : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_EQ(standIn_->script.liveObjects, 0) << "ADO objects left unreleased";
        EXPECT_EQ(standIn_->script.unexpected, Lines()) << "calls the back ends never make";
        standIn_.reset();
    }
    Script& script() { return standIn_->script; }
    void failOn(const std::wstring& text) { script().failing.push_back(text); }

    std::unique_ptr<Scope> standIn_ = std::make_unique<Scope>();
};

// A machine value set for one test; removeTree names a key the test made.
class ScopedRegistryValue {
public:
    ScopedRegistryValue(const std::wstring& subKey, const std::wstring& name, const wchar_t* removeTree = nullptr)
        : name_(name), removeTree_(removeTree), key_(registry::create(HKEY_LOCAL_MACHINE, subKey, KEY_ALL_ACCESS)) {}
    ~ScopedRegistryValue() {
        RegDeleteValueW(key_, name_.c_str());
        key_.reset();
        if (removeTree_) RegDeleteTreeW(HKEY_LOCAL_MACHINE, removeTree_);
    }
    RegKey& key() { return key_; }

private:
    std::wstring name_;
    const wchar_t* removeTree_;
    RegKey key_;
};

Rows oneValue(const Cell& cell, int type = 200) { return {{L"value"}, {type}, {{cell}}}; }

std::wstring joined(const Lines& lines) {
    std::wstring text;
    for (const std::wstring& line : lines) text += line + L"\n";
    return text;
}

const std::wstring sqlOpen = L"Open Provider=SQLOLEDB.1;Initial Catalog=";

}  // namespace

TEST(AdoQuotes, TranslationTables) {
    struct Case {
        const wchar_t* statement;
        const wchar_t* jet;
        const wchar_t* mssql;
    } cases[] = {
        {L"select `name` from `t` where `v` = \"a\"", L"select [name] from [t] where [v] = 'a'",
         L"select [name] from [t] where [v] = N'a'"},
        {L"insert into t values('it''s')", L"insert into t values('it''s')", L"insert into t values(N'it''s')"},
        // Doubled double quotes collapse to single ones in the single-quoted text.
        {L"x = \"say \"\"hi\"\"\"", L"x = 'say \"hi\"'", L"x = N'say \"hi\"'"},
        {L"`a``b`", L"[a][b]", L"[a][b]"},  // a back quote never escapes itself
        {L"'a`b\"c'", L"'a`b\"c'", L"N'a`b\"c'"},
        // SQL Server brackets each part of a dotted name; Jet does not.
        {L"select * from `db.dbo.t`", L"select * from [db.dbo.t]", L"select * from [db].[dbo].[t]"},
        {L"`a.`", L"[a.]", L"[a].[]"},
        {L"select 'abc", L"select 'abc", L"select N'abc"},  // unterminated sections stay open
        {L"select `abc", L"select [abc", L"select [abc"},
        {L"'abc''", L"'abc''", L"N'abc''"},  // a doubled quote at the very end
        {L"\"abc\"\"", L"'abc\"", L"N'abc\""},
        {L"v = \"\"", L"v = ''", L"v = N''"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(prepareJetStatement(c.statement), c.jet) << cstr(c.statement);
        EXPECT_EQ(prepareMSSQLStatement(c.statement), c.mssql) << cstr(c.statement);
    }
    // Before the collapsing step the doubled quote is still doubled.
    EXPECT_EQ(translateQuotes(L"\"a\"\"b\"", msSqlQuoteRules, 3), L"N'a\"\"b'");
    EXPECT_EQ(MSSQLDatabaseProvider().escape(L"it's \"so\""), L"it''s \"\"so\"\"");
    // For a local host (in any case) the first of sm or np in the list decides; never for a remote one.
    EXPECT_EQ(networkLibraryFor(L"LOCALHOST", {L"sm", L"np"}), L"dbmsrpcn");
    EXPECT_EQ(networkLibraryFor(L"127.0.0.1", {L"tcp", L"via"}), L"");
    EXPECT_EQ(networkLibraryFor(L"db.example", {L"sm"}), L"");
}

TEST_F(AdoStandIn, ConnectSendsSessionStatementsAndNetworkLibrary) {
    ScopedRegistryValue connectionTimeout(ConfigKey::subKey(), L"ADOConnectionTimeout");
    ScopedRegistryValue commandTimeout(ConfigKey::subKey(), L"ADOCommandTimeout");
    const std::wstring open = sqlOpen + L"panel;Data Source=db.example|sa|pw";
    const Lines session = {L"Execute SET DATEFORMAT ymd", L"Execute SET TRANSACTION ISOLATION LEVEL READ UNCOMMITTED",
                           L"Close"};
    struct Case {
        DWORD connectionSeconds, commandSeconds;
        Lines expected;  // then the session statements
    } cases[] = {
        {0, 0, {L"CursorLocation 3", open}},  // 0 keeps ADO's defaults
        {15, 40, {L"CursorLocation 3", L"ConnectionTimeout 15", open, L"CommandTimeout 40"}},
    };
    for (Case& c : cases) {
        registry::set(connectionTimeout.key(), L"ADOConnectionTimeout", c.connectionSeconds);
        registry::set(commandTimeout.key(), L"ADOCommandTimeout", c.commandSeconds);
        script().calls.clear();
        MSSQLDatabaseProvider().connect(L"db.example", L"panel", L"sa", L"pw", 1433, L"sock");
        c.expected.insert(c.expected.end(), session.begin(), session.end());
        EXPECT_EQ(joined(script().calls), joined(c.expected));
    }

    // Local servers get a network library; one the server refuses is dropped on a second try.
    ScopedRegistryValue protocols(L"SOFTWARE\\Microsoft\\MSSQLServer\\MSSQLServer\\SuperSocketNetLib",
                                  L"ProtocolList", L"SOFTWARE\\Microsoft\\MSSQLServer");
    const std::wstring list(L"tcp\0np\0sm\0", 10);
    RegSetValueExW(protocols.key(), L"ProtocolList", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(list.data()),
                   static_cast<DWORD>((list.size() + 1) * sizeof(wchar_t)));
    script().calls.clear();
    MSSQLDatabaseProvider().connect(L"localhost", L"panel", L"sa", L"pw", 0, L"");
    failOn(L"Network Library=");
    MSSQLDatabaseProvider().connect(L"127.0.0.1", L"", L"sa", L"pw", 0, L"");
    EXPECT_EQ(joined(script().callsStartingWith(L"Open")),
              joined({sqlOpen + L"panel;Data Source=localhost;Network Library=dbnmpntw|sa|pw",
                      sqlOpen + L"master;Data Source=127.0.0.1;Network Library=dbnmpntw|sa|pw",
                      sqlOpen + L"master;Data Source=127.0.0.1|sa|pw"}));
}

TEST_F(AdoStandIn, FailuresCarryTheErrorsCollection) {
    script().errorDescriptions = {L"Login failed for user 'sa'.", L"Cannot open database \"panel\"."};
    failOn(L"Data Source=db.example");
    MSSQLDatabaseProvider provider;
    EXPECT_EQ(thrownText([&] { provider.connect(L"db.example", L"panel", L"sa", L"pw", 0, L""); }),
              L"Unable to ADO conect with connection string: Provider=SQLOLEDB.1;Initial Catalog=panel;Data "
              L"Source=db.example Login failed for user 'sa'. Cannot open database \"panel\".");
    EXPECT_FALSE(provider.isConnected());

    // No object can be made: the text of E_POINTER.
    script().failCreation = true;
    EXPECT_NE(thrownText([&] { provider.connect(L"other", L"", L"sa", L"pw", 0, L""); }).find(L"80004003"),
              std::wstring::npos);
    script().failCreation = false;

    script().failing = {L"nothere"};
    script().errorDescriptions = {L"Invalid object name 'nothere'.", L"Statement(s) could not be prepared."};
    provider.connect(L"db.example", L"panel", L"sa", L"pw", 0, L"");
    EXPECT_THROW(provider.execute(L"delete from `nothere`"), ComError);
    EXPECT_EQ(provider.lastError(), L"Invalid object name 'nothere'. Statement(s) could not be prepared.");
    EXPECT_THROW(RecordSetRef(provider.query(L"select * from nothere")), ComError);
    provider.execute(L"select 1");
    EXPECT_EQ(provider.lastError(), L"");
}

TEST_F(AdoStandIn, RecordSetOverScriptedRows) {
    SYSTEMTIME when = {2008, 1, 4, 31, 23, 59, 0, 0};
    double day = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&when, &day));
    script().results[L"select * from [t]"] =
        Rows{{L"id", L"name", L"born", L"raw", L"note"},
             {3, 202, 135, 205, 202},
             {{integer(1), text(L"Ann"), date(day), bytes("bin\xE9"), null()},
              {integer(2), text(L""), null(), bytes(""), text(L"x")},
              {integer(-3), text(L"Zoë"), date(day + 0.5), null(), text(L"")}}};
    MSSQLDatabaseProvider provider;
    provider.connect(L"db.example", L"panel", L"sa", L"pw", 0, L"");
    RecordSetRef records(provider.query(L"select * from `t`"));
    EXPECT_EQ(records->rowCount(), 3u);
    EXPECT_EQ(records->fieldIndex(L"born"), 2);
    EXPECT_EQ(records->fieldIndex(L"BORN"), -1);
    Lines seen;
    while (records->next()) {
        std::wstring row;
        for (unsigned i = 0; i < records->fieldCount(); ++i) row += records->getValue(i, L"<null>", false) + L"|";
        row += records->isNull(1, true) ? L"empty-name" : L"named";
        row += records->isEmpty(4, true) ? L" note-empty-or-null" : L" note";
        seen.push_back(row);
    }
    EXPECT_EQ(joined(seen), joined({L"1|Ann|2008-01-31 23:59:00|bin\u00E9|<null>|named note-empty-or-null",
                                     L"2||<null>||x|empty-name note",
                                     L"-3|Zo\u00EB|2008-02-01 11:59:00|<null>||named note-empty-or-null"}));
    // After a move the next call yields the row moved to.
    ASSERT_TRUE(records->moveLast());
    ASSERT_TRUE(records->next());
    EXPECT_EQ(records->getValue(0, L"", false), L"-3");
    EXPECT_FALSE(records->next());
    provider.disconnect();  // a held record set outlives the connection
    EXPECT_EQ(records->fieldName(0), L"id");

    provider.connect(L"db.example", L"panel", L"sa", L"pw", 0, L"");
    RecordSetRef empty(provider.query(L"select * from `none`"));
    EXPECT_FALSE(empty->moveLast());
    EXPECT_FALSE(empty->next());
}

TEST_F(AdoStandIn, TransactionsIdentityInsertAndCounters) {
    MSSQLDatabaseProvider provider;
    provider.connect(L"db.example", L"panel", L"sa", L"pw", 0, L"");
    script().calls.clear();
    provider.beginTransaction();
    provider.beginTransaction();
    EXPECT_EQ(provider.transactionDepth(), 2);
    provider.beginImplicitTransaction(L"t");  // inside an explicit one: nothing
    provider.endImplicitTransaction();
    provider.commit();
    provider.rollback();
    EXPECT_EQ(provider.transactionDepth(), 0);
    provider.beginImplicitTransaction(L"t");
    EXPECT_EQ(provider.transactionDepth(), 1);
    provider.endImplicitTransaction();
    provider.endImplicitTransaction();  // already ended
    EXPECT_EQ(provider.transactionDepth(), 0);
    // Switching tables turns the old one's identity insert off first.
    provider.setIdentityInsert(L"t1");
    provider.setIdentityInsert(L"t2");
    provider.setIdentityInsert(L"");
    provider.setIdentityInsert(L"");
    provider.setPassword(L"n\"ew", L"o'ld");
    EXPECT_EQ(joined(script().calls),
              joined({L"BeginTrans", L"BeginTrans", L"CommitTrans", L"RollbackTrans", L"BeginTrans", L"CommitTrans",
                      L"Execute set IDENTITY_INSERT [t1] ON", L"Execute set IDENTITY_INSERT [t1] OFF",
                      L"Execute set IDENTITY_INSERT [t2] ON", L"Execute set IDENTITY_INSERT [t2] OFF",
                      L"Execute SP_PASSWORD N'o''ld', N'n\"ew'"}));

    // One more than the column's maximum; 1 for an empty table or NULL.
    struct Case {
        Rows result;
        uint64_t expected;
    } cases[] = {{oneValue(integer(41), 3), 42}, {oneValue(null(), 3), 1}, {Rows{{L"value"}, {3}, {}}, 1}};
    for (const Case& c : cases) {
        script().results[L"select max([id]) from [clients] with (TABLOCK)"] = c.result;
        EXPECT_EQ(provider.nextCounter(L"clients", L"id"), c.expected);
    }
    script().results[L"SELECT @@IDENTITY"] = oneValue(text(L"77"));
    EXPECT_EQ(provider.lastInsertId(), 77u);
    script().results[L"SELECT TABLE_NAME FROM INFORMATION_SCHEMA.TABLES WHERE TABLE_SCHEMA = N'dbo'and TABLE_TYPE = "
                     L"N'BASE TABLE' and TABLE_NAME = N'o''k' "] = oneValue(text(L"o'k"));
    EXPECT_TRUE(provider.tableExists(L"o'k"));
    EXPECT_FALSE(provider.tableExists(L"other"));
}

// Jet's connect points TEMP and TMP at the panel's directory; they are put back after each test.
class JetStandIn : public AdoStandIn {
protected:
    JetStandIn() {
        for (int i = 0; i < 2; ++i) GetEnvironmentVariableW(variables_[i], saved_[i], MAX_PATH);
        standin::Server::Options options;
        options.file = "param PRODUCT_ROOT_D=C:/Orvex/HVC/\n";
        service_ = std::make_unique<standin::Server>(options);
    }
    ~JetStandIn() override {
        for (int i = 0; i < 2; ++i) SetEnvironmentVariableW(variables_[i], saved_[i]);
    }
    const wchar_t* variables_[2] = {L"TEMP", L"TMP"};
    wchar_t saved_[2][MAX_PATH] = {};
    std::unique_ptr<standin::Server> service_;
};

TEST_F(JetStandIn, ConnectSetsTemporaryDirectoryAndProperties) {
    ASSERT_TRUE(service_->running());
    script().catalog = {{L"people", {}}};
    {
        JetDatabaseProvider provider;
        provider.connect(L"localhost", L"C:\\data\\panel.mdb", L"admin", L"secret", 0, L"");
        for (const wchar_t* variable : variables_) {
            wchar_t value[MAX_PATH] = {};
            GetEnvironmentVariableW(variable, value, MAX_PATH);
            EXPECT_STREQ(value, L"C:\\Orvex\\HVC\\admin\\db");
        }
        script().results[L"SELECT @@IDENTITY"] = oneValue(text(L"12"));
        EXPECT_EQ(provider.nextCounter(L"ignored", L"ignored"), 12u);
        // Jet knows no identity insert, implicit transactions or passwords.
        provider.setIdentityInsert(L"t");
        provider.beginImplicitTransaction(L"t");
        provider.endImplicitTransaction();
        provider.setPassword(L"new", L"old");
        EXPECT_TRUE(provider.tableExists(L"people"));
        EXPECT_FALSE(provider.tableExists(L"nothere"));
    }
    EXPECT_EQ(joined(script().calls),
              joined({L"CursorLocation 3", L"Open Provider='Microsoft.Jet.OLEDB.4.0';Data Source=C:\\data\\panel.mdb||",
                      L"Property Jet OLEDB:Transaction Commit Mode=1", L"Property Jet OLEDB:Implicit Commit Sync=1",
                      L"Execute insert into ms_jet_counter(val) values( 0 )", L"Query SELECT @@IDENTITY",
                      L"Execute delete from ms_jet_counter",
                      L"Catalog Provider='Microsoft.Jet.OLEDB.4.0';Data Source='C:\\data\\panel.mdb'",
                      L"Catalog Provider='Microsoft.Jet.OLEDB.4.0';Data Source='C:\\data\\panel.mdb'", L"Close"}));

    // Only local files, refused before any ADO object is made.
    script().calls.clear();
    JetDatabaseProvider provider;
    struct Case {
        std::function<void()> call;
        const char* function;
    } cases[] = {
        {[&] { provider.connect(L"127.0.0.1", L"C:\\x.mdb", L"", L"", 0, L""); }, "JetDatabaseProvider::connectionString"},
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
    EXPECT_TRUE(script().calls.empty());
}

TEST_F(JetStandIn, CreateDatabaseKeepsOldFilesUnderFreeBackupNames) {
    TempDir dir;
    const std::wstring file = dir.file(L"panel.mdb");
    struct Case {
        Lines existing;
        const wchar_t* suffix;  // the backup stem found
        Lines after;            // the new file is ADOX's to make
    } cases[] = {
        {{L"panel.mdb"}, L"", {L"panel.mdb.old"}},
        {{L"panel.mdw"}, L"", {L"panel.mdb.oldmdw"}},
        {{L"panel.mdb", L"panel.mdw", L"panel.mdb.old", L"panel.mdb[1].oldmdw"}, L"[2]",
         {L"panel.mdb.old", L"panel.mdb[1].oldmdw", L"panel.mdb[2].old", L"panel.mdb[2].oldmdw"}},
        {{L"panel.mdb", L"panel.old"}, L"", {L"panel.mdb.old", L"panel.old"}},  // only the full stem counts
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
    for (const Case& c : cases) {
        for (const std::wstring& name : listing()) DeleteFileW(dir.file(name).c_str());
        for (const std::wstring& name : c.existing) dir.write(name, name);
        std::wstring suffix = L"(none)";
        EXPECT_TRUE(findJetBackupSuffix(file, suffix));
        EXPECT_EQ(suffix, c.suffix) << cstr(c.existing.back());
        script().calls.clear();
        JetDatabaseProvider().createDatabase(L"localhost", file);
        EXPECT_EQ(joined(listing()), joined(c.after)) << cstr(c.existing.back());
        EXPECT_EQ(joined(script().calls), L"Create Provider='Microsoft.Jet.OLEDB.4.0';Data Source='" + file + L"'\n");
    }
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

// The statements from the first that begins with `from` up to the counter table's reset.
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
    dbtest::ComApartment com;
    TempDir dir;
    const std::wstring file = dir.file(L"panel.mdb");
    failOn(L"DROP TABLE [people]");  // the table does not exist yet: ignored
    JetDatabaseProvider provider;
    provider.ImportSchema(dir.write(L"schema.xml", schemaDocument), L"localhost", file, L"admin", L"pw", 0, L"",
                          false, L"", L"");
    EXPECT_EQ(joined(slice(script().statements(), L"DROP TABLE [people]")),
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
    script().catalog = {{L"people", {{L"id", 3}, {L"name", 202}, {L"born", 7}, {L"kind", 202}}}, {L"empty", {}}};
    auto& errors = dbtest::ErrorCapture::start();
    provider.ImportData(dir.write(L"data.xml", dataDocument), L"", file, L"admin", L"pw", 0, L"");
    Lines statements = script().statements();
    EXPECT_EQ(joined(slice(statements, L"delete from [people]")),
              joined({L"delete from [people]",
                      L"INSERT INTO [people]([id],[name],[born],[kind]) VALUES ('1','O''Hara',0,NULL)",
                      L"INSERT INTO [people]([id],[name],[born],[kind]) VALUES ('2','duplicate','2008-01-31 23:59:00','b')",
                      // Only a date-class column turns a zero date into 0.
                      L"INSERT INTO [people]([id],[name],[born],[kind]) VALUES ('3','0000-00-00',0,'a')",
                      L"delete from [empty]"}));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE((errors[0].message + errors[0].where)
                  .find(L"Unable to import data row: INSERT INTO [people]([id],[name],[born],[kind]) VALUES ('2','duplicate'"),
              std::wstring::npos);
    Lines tail(std::find(statements.begin(), statements.end(), L"delete from ms_jet_counter"), statements.end());
    EXPECT_EQ(joined(tail), joined({L"delete from ms_jet_counter", L"insert into ms_jet_counter([id], [val]) values( 41, 0 )"}));
}

TEST_F(AdoStandIn, SqlServerSchemaImportCreatesLoginAndDatabase) {
    dbtest::ComApartment com;
    TempDir dir;
    std::wstring schema = dir.write(L"schema.xml", schemaDocument);
    failOn(L"DENY ALTER ANY DATABASE DDL TRIGGER");  // an old server: logged, and the import goes on
    const Lines& log = dbtest::LogCapture::start();
    MSSQLDatabaseProvider().ImportSchema(schema, L"db.example", L"panel", L"paneluser", L"pa'ss", 0, L"", true, L"sa",
                                         L"sapw");
    Lines calls;
    for (const std::wstring& call : script().calls)
        if (call.find(L"SET ") == std::wstring::npos && call.find(L"select max(") == std::wstring::npos) calls.push_back(call);
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[1], sqlOpen + L"master;Data Source=db.example|sa|sapw");
    const std::wstring loginQuery = calls[2].substr(6);  // the login lookup, as it reaches ADO
    EXPECT_NE(loginQuery.find(L"SELECT name FROM master.sys.server_principals WHERE name=N'paneluser'"),
              std::wstring::npos);
    // The account statements go out untranslated.
    for (const std::wstring& line : log) EXPECT_EQ(line.find(L"pa'"), std::wstring::npos) << cstr(line);
    Lines expected = {L"Execute exec master.dbo.sp_addlogin 'paneluser', N'pa''ss', [master]",
                      L"Execute exec [master].dbo.sp_grantdbaccess 'paneluser'",
                      L"Execute exec [master].dbo.sp_addrolemember 'db_owner', 'paneluser'",
                      L"Execute USE master;DENY ALTER ANY DATABASE DDL TRIGGER TO [paneluser]",
                      L"Execute EXEC [master].dbo.sp_addsrvrolemember N'paneluser', N'dbcreator'",
                      L"Close",
                      L"CursorLocation 3",
                      sqlOpen + L"master;Data Source=db.example|paneluser|pa'ss",
                      L"Query select DB_ID(N'panel')",
                      L"Execute CREATE DATABASE [panel] collate Latin1_General_CI_AS",
                      L"Execute USE [panel]",
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

    // An existing login, or an existing database with recreate, stops the import before anything is created.
    struct Case {
        std::wstring answered;  // the query that yields a row
        const wchar_t* manager;
        const wchar_t* error;
    } cases[] = {{loginQuery, L"sa", L"User paneluser already exists"},
                 {L"select DB_ID(N'panel')", L"", L"HVC database already exists"}};
    for (const Case& c : cases) {
        script().calls.clear();
        script().results = {{c.answered, oneValue(integer(5), 3)}};
        EXPECT_EQ(thrownText([&] {
                      MSSQLDatabaseProvider().ImportSchema(schema, L"db.example", L"panel", L"paneluser", L"pw", 0, L"",
                                                           true, c.manager, L"sapw");
                  }),
                  c.error);
        for (const std::wstring& statement : script().statements()) {
            EXPECT_EQ(statement.find(L"CREATE"), std::wstring::npos) << cstr(statement);
            EXPECT_EQ(statement.find(L"sp_addlogin"), std::wstring::npos) << cstr(statement);
        }
    }
}

TEST_F(AdoStandIn, SqlServerDataImportWithIdentityInsertAndZeroDates) {
    dbtest::ComApartment com;
    TempDir dir;
    for (const auto& column : {std::make_pair(L"id", 3), std::make_pair(L"name", 202), std::make_pair(L"born", 135),
                               std::make_pair(L"kind", 202)})
        script().results[format(L"select [%ls] from [people] where 1=0  ", column.first)] =
            Rows{{column.first}, {column.second}, {}};
    script().results[L"SELECT  COLUMNPROPERTY(object_id(N'people'), N'id', N'IsIdentity')"] = oneValue(integer(1), 3);
    failOn(L"N'duplicate'");
    auto& errors = dbtest::ErrorCapture::start();
    MSSQLDatabaseProvider().ImportData(dir.write(L"data.xml", dataDocument), L"db.example", L"panel", L"sa", L"pw", 0, L"");
    Lines statements = script().statements();
    EXPECT_EQ(statements.at(2), L"USE [panel]");
    EXPECT_EQ(statements.at(3), L"delete from [people]");
    // Identity insert goes on once the column lookups are done, before the first row.
    EXPECT_EQ(joined(slice(statements, L"SELECT  COLUMNPROPERTY(object_id(N'people'), N'kind'")),
              joined({L"SELECT  COLUMNPROPERTY(object_id(N'people'), N'kind', N'IsIdentity')",
                      L"SET IDENTITY_INSERT [people] ON",
                      L"INSERT INTO [people] ([id],[name],[born],[kind]) VALUES (N'1',N'O''Hara',N'1753-01-01 00:00:00',NULL)",
                      L"INSERT INTO [people] ([id],[name],[born],[kind]) VALUES (N'2',N'duplicate',N'2008-01-31 23:59:00',N'b')",
                      L"INSERT INTO [people] ([id],[name],[born],[kind]) VALUES (N'3',N'0000-00-00',N'1753-01-01 00:00:00',N'a')",
                      L"SET IDENTITY_INSERT [people] OFF",
                      L"delete from [empty]"}));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].where.find(L"MSSQLDataImporter::endElement:"), 0u) << cstr(errors[0].where);
}

TEST(AdoFactory, BuildsEveryBackEnd) {
    struct Case {
        const wchar_t* name;
        const wchar_t* built;
    } cases[] = {{L"", L"MySQL"}, {L"Jet", L"Jet"}, {L"MSSQL", L"MSSQL"}, {L"jet", nullptr}, {L"ADO", nullptr}};
    for (const Case& c : cases) {
        if (c.built) {
            std::unique_ptr<IDatabaseProvider> provider(IDatabaseProvider::Create(c.name));
            ASSERT_TRUE(provider);
            EXPECT_EQ(provider->name(), c.built);
        } else {
            EXPECT_EQ(thrownText([&] { delete IDatabaseProvider::Create(c.name); }),
                      std::wstring(L"Unable to build database provider ") + c.name);
        }
    }
}

// An unknown type ends the schema import after the tables before it; Jet
// ignores the type of an auto_increment column, SQL Server does not.
TEST_F(JetStandIn, UnknownTypesEndTheSchemaImport) {
    dbtest::ComApartment com;
    TempDir dir;
    std::wstring document = dir.write(
        L"schema.xml", L"<schema><table name=\"first\"><column name=\"a\" type=\"int(11)\" null=\"YES\"/></table>"
                       L"<table name=\"second\"><column name=\"id\" type=\"mediumint(9)\" null=\"NO\" "
                       L"extra=\"auto_increment\"/></table><table name=\"third\"><column name=\"id\" "
                       L"type=\"mediumint(9)\" null=\"NO\"/></table></schema>");
    JetDatabaseProvider jet;
    jet.connect(L"", L"C:\\data\\panel.mdb", L"", L"", 0, L"");
    MSSQLDatabaseProvider mssql;
    mssql.connect(L"db.example", L"panel", L"sa", L"pw", 0, L"");
    script().calls.clear();
    JetSchemaImporter jetImporter(jet, true);
    EXPECT_EQ(thrownText([&] { jetImporter.parseURL(document); }), L"Unable to understand type mediumint(9)");
    EXPECT_EQ(joined(script().statements()),
              joined({L"CREATE TABLE [first]([a] INTEGER )", L"CREATE TABLE [second]([id] COUNTER( 1, 1) NOT NULL )"}));
    script().calls.clear();
    MSSQLSchemaImporter mssqlImporter(mssql, true);
    EXPECT_EQ(thrownText([&] { mssqlImporter.parseURL(document); }), L"Unable to understand type mediumint(9)");
    EXPECT_EQ(joined(script().statements()), L"CREATE TABLE [first] ([a] int NULL )\n");
}
