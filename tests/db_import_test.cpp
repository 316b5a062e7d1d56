// The XML import and export of the database layer: the SAX content-handler
// base, the type table, the statement texts of the importers and of account
// creation, and whole round trips against the run's private MariaDB server.
#include <gtest/gtest.h>
#include <windows.h>
#include <msxml2.h>

#include <fstream>
#include <functional>

#include "database/connparams.h"
#include "database/import/mysqlimport.h"
#include "database/import/typetable.h"
#include "database/mysqlaccounts.h"
#include "database/xml.h"
#include "database/xmlexport.h"
#include "db_testenv.h"
#include "runtime/catchpoint.h"
#include "runtime/comerror.h"
#include "runtime/threadcanceled.h"

using dbtest::scalar;
using Lines = std::vector<std::wstring>;

namespace {

using dbtest::ComApartment;
using dbtest::ErrorCapture;
using dbtest::TempDir;

// A provider that records what it is asked to execute; escape doubles
// nothing but marks quotes and backslashes as MySQL does.
class RecordingProvider : public IDatabaseProvider {
public:
    std::wstring serverVersion = L"10.11.6-MariaDB";
    Lines statements;
    std::function<void(const std::wstring&)> onExecute;  // may refuse a statement by throwing

    void execute(const std::wstring& statement) override {
        statements.push_back(statement);
        if (onExecute) onExecute(statement);
    }
    std::wstring escape(const std::wstring& text) override {
        std::wstring escaped;
        for (wchar_t c : text) {
            if (c == L'\'' || c == L'\\') escaped += L'\\';
            escaped += c;
        }
        return escaped;
    }
    std::wstring version() override { return serverVersion; }

    void connect(const std::wstring&, const std::wstring&, const std::wstring&, const std::wstring&, int,
                 const std::wstring&) override {}
    bool isConnected() override { return true; }
    bool ping() override { return true; }
    void disconnect() override {}
    std::wstring name() override { return L"MySQL"; }
    void useDatabase(const std::wstring&) override {}
    IDatabaseRecordSet* query(const std::wstring&) override { throw vexception(L"no rows here"); }
    void replace(const std::wstring&, const std::wstring&) override {}
    void setIdentityInsert(const std::wstring&) override {}
    uint64_t lastInsertId() override { return 0; }
    void beginTransaction() override {}
    void commit() override {}
    void rollback() override {}
    void beginImplicitTransaction(const std::wstring&) override {}
    void endImplicitTransaction() override {}
    uint64_t nextCounter(const std::wstring&, const std::wstring&) override { return 0; }
    bool tableExists(const std::wstring&) override { return false; }
    int transactionDepth() override { return 0; }
    std::wstring lastError() override { return L""; }
    void setPassword(const std::wstring&, const std::wstring&) override {}
    void exportData(ISAXContentHandler*) override {}
    void exportDataToNode(IXMLDOMNode*) override {}
    void ImportSchema(const std::wstring&, const std::wstring&, const std::wstring&, const std::wstring&,
                      const std::wstring&, int, const std::wstring&, bool, const std::wstring&,
                      const std::wstring&) override {}
    void ImportData(const std::wstring&, const std::wstring&, const std::wstring&, const std::wstring&,
                    const std::wstring&, int, const std::wstring&) override {}
};

// Records the local names of started elements; fails as told on one of them.
class Probe final : public ContentHandlerWrapper {
public:
    enum Failure { None, VException, StdException, Cancel };
    Failure failure = None;
    size_t failAt = 0;
    Lines elements;

    void startElement(const wchar_t*, int, const wchar_t* localName, int localLength, const wchar_t*, int,
                      ISAXAttributes*) override {
        elements.emplace_back(localName, static_cast<size_t>(localLength));
        if (elements.size() != failAt) return;
        switch (failure) {
        case VException: throw vexception(L"third element refused", VLOCATION("Probe::startElement"));
        case StdException: throw std::runtime_error("plain failure");
        case Cancel: throw ThreadCancelation::ThreadCanceledException{GetCurrentThreadId()};
        case None: break;
        }
    }
};

class XmlImport : public ::testing::Test {
protected:
    ComApartment com;
    TempDir dir;
};

}  // namespace

// ----------------------------------------------------------- pure tables

TEST(ImportTypeTable, JetAndSqlServerTypes) {
    struct Case {
        const wchar_t* mysql;
        const wchar_t *jet, *mssql;  // null: refused
    } cases[] = {
        {L"int(11)", L"INTEGER ", L"int "},
        {L"int(10) unsigned", L"INTEGER ", L"int "},
        {L"tinyint(1)", L"TINYINT ", L"tinyint "},
        {L"smallint(6)", L"SMALLINT ", L"smallint "},
        {L"enum('a','b')", L"TEXT(255) ", L"nvarchar(255) "},
        {L"varchar(40)", L"TEXT(40) ", L"nvarchar(40) "},
        {L"char(2)", L"TEXT(2) ", L"nvarchar(2) "},
        {L"bigint(20)", L"NUMERIC( 20, 0 ) ", L"bigint "},
        {L"text", L"TEXT ", L"ntext "},
        {L"mediumtext", L"TEXT ", L"ntext "},
        {L"blob", L"TEXT ", L"ntext "},
        {L"datetime", L"DATETIME ", L"datetime "},
        {L"date", L"DATETIME ", L"datetime "},
        {L"timestamp", L"DATETIME ", L"datetime "},
        // Exact rules, case-sensitive prefixes, no guessing.
        {L"mediumint(9)", nullptr, nullptr},
        {L"INT(11)", nullptr, nullptr},
        {L"integer", nullptr, nullptr},
        {L"tinytext", nullptr, nullptr},
        {L"text ", nullptr, nullptr},
        {L"double", nullptr, nullptr},
        {L"", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        for (auto dialect : {TypeDialect::Jet, TypeDialect::MSSQL}) {
            const wchar_t* expected = dialect == TypeDialect::Jet ? c.jet : c.mssql;
            std::wstring translated = L"(untouched)";
            EXPECT_EQ(translateColumnType(c.mysql, dialect, translated), expected != nullptr) << cstr(c.mysql);
            if (expected) {
                EXPECT_EQ(translated, expected) << cstr(c.mysql);
            }
        }
    }
}

TEST(ImportStatements, ServerKindsAndTableOptions) {
    struct Case {
        const wchar_t* version;
        bool accountStatements, oldPasswords;
        const wchar_t* options;
    } cases[] = {
        {L"4.0.27-max", false, true, L"TYPE=InnoDB DEFAULT CHARSET=utf8"},
        {L"4.1.22", false, true, L"ENGINE=InnoDB DEFAULT CHARSET=utf8"},
        {L"5.0.51a-community", false, true, L"ENGINE=InnoDB DEFAULT CHARSET=utf8"},
        {L"5.7.44-log", false, true, L"ENGINE=InnoDB DEFAULT CHARSET=utf8"},
        {L"8.0.35", true, false, L"ENGINE=InnoDB DEFAULT CHARSET=utf8"},
        {L"5.5.68-MariaDB", false, true, L"ENGINE=InnoDB DEFAULT CHARSET=utf8"},
        {L"10.3.39-MariaDB-0+deb10u1", false, true, L"ENGINE=InnoDB DEFAULT CHARSET=utf8"},
        {L"10.4.0-MariaDB", true, true, L"ENGINE=InnoDB DEFAULT CHARSET=utf8"},
        {L"10.11.6-MariaDB-0+deb12u1", true, true, L"ENGINE=InnoDB DEFAULT CHARSET=utf8"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(usesAccountStatements(c.version), c.accountStatements) << cstr(c.version);
        EXPECT_EQ(hasOldPasswords(c.version), c.oldPasswords) << cstr(c.version);
        EXPECT_EQ(mySQLTableOptions(c.version), c.options) << cstr(c.version);
    }
    for (auto pair : {std::make_pair(L"hvc", L"hvc"), std::make_pair(L"a_b", L"a\\_b"), std::make_pair(L"a\\_b", L"a\\_b"),
                      std::make_pair(L"a__b\\_", L"a\\_\\_b\\_")})
        EXPECT_EQ(grantPattern(pair.first), pair.second) << cstr(pair.first);
}

// The mysql.user statements for servers that keep accounts in a table,
// and the account statements for the rest, as text.
TEST(ImportStatements, AccountCreation) {
    const std::wstring user4 =
        L"INSERT INTO mysql.user (Host, User, Password, Select_priv, Insert_priv, Update_priv, Delete_priv, "
        L"Create_priv, Drop_priv, Reload_priv, Shutdown_priv, Process_priv, File_priv, Grant_priv, References_priv, "
        L"Index_priv, Alter_priv, Lock_tables_priv, Create_tmp_table_priv) VALUES ('%', 'jo', PASSWORD('p\\'w'), "
        L"'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N')";
    const std::wstring user5 =
        L"INSERT INTO mysql.user (Host, User, Password, Select_priv, Insert_priv, Update_priv, Delete_priv, "
        L"Create_priv, Drop_priv, Reload_priv, Shutdown_priv, Process_priv, File_priv, Grant_priv, References_priv, "
        L"Index_priv, Alter_priv, Lock_tables_priv, Create_tmp_table_priv, ssl_type, ssl_cipher, x509_issuer, "
        L"x509_subject) VALUES ('%', 'jo', PASSWORD('p\\'w'), 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', "
        L"'N', 'N', 'N', 'N', 'N', '', '', '', '')";
    const std::wstring db =
        L"INSERT INTO mysql.db (Host, Db, User, Select_priv, Insert_priv, Update_priv, Delete_priv, Create_priv, "
        L"Drop_priv, Grant_priv, References_priv, Index_priv, Alter_priv, Lock_tables_priv, Create_tmp_table_priv) "
        L"VALUES ('%', 'my\\_db', 'jo', 'Y', 'Y', 'Y', 'Y', 'Y', 'Y', 'N', 'Y', 'Y', 'Y', 'Y', 'Y')";
    const std::wstring admin =
        L"REPLACE INTO mysql.user (Host, User, Password, Select_priv, Insert_priv, Update_priv, Delete_priv, "
        L"Create_priv, Drop_priv, Reload_priv, Shutdown_priv, Process_priv, File_priv, Grant_priv, References_priv, "
        L"Index_priv, Alter_priv, Lock_tables_priv, Create_tmp_table_priv, Show_db_priv, Super_priv, Execute_priv, "
        L"ssl_type, ssl_cipher, x509_issuer, x509_subject) VALUES ('%', 'jo', PASSWORD('p'w'), 'Y', 'Y', 'Y', 'Y', "
        L"'Y', 'Y', 'Y', 'Y', 'Y', 'Y', 'Y', 'Y', 'Y', 'Y', 'Y', 'Y', 'Y', 'Y', 'Y', '', '', '', '')";
    struct Case {
        const wchar_t* version;
        Lines user, administrator, password;
    } cases[] = {
        {L"4.0.27", {user4, db, L"FLUSH PRIVILEGES"}, {admin, L"flush privileges"},
         {L"use mysql", L"UPDATE user set Password=PASSWORD('n\\'w') WHERE User='jo'", L"FLUSH PRIVILEGES"}},
        {L"5.1.73", {user5, db, L"FLUSH PRIVILEGES"}, {admin, L"flush privileges"},
         {L"use mysql", L"UPDATE user set Password=PASSWORD('n\\'w') WHERE User='jo'", L"FLUSH PRIVILEGES"}},
        {L"10.11.6-MariaDB",
         {L"CREATE USER 'jo'@'%' IDENTIFIED BY 'p\\'w'",
          L"GRANT SELECT, INSERT, UPDATE, DELETE, CREATE, DROP, REFERENCES, INDEX, ALTER, LOCK TABLES, CREATE "
          L"TEMPORARY TABLES ON `my\\_db`.* TO 'jo'@'%'",
          L"FLUSH PRIVILEGES"},
         {L"CREATE USER IF NOT EXISTS 'jo'@'%' IDENTIFIED BY 'p\\'w'", L"ALTER USER 'jo'@'%' IDENTIFIED BY 'p\\'w'",
          L"GRANT SELECT, INSERT, UPDATE, DELETE, CREATE, DROP, RELOAD, SHUTDOWN, PROCESS, FILE, REFERENCES, INDEX, "
          L"ALTER, LOCK TABLES, CREATE TEMPORARY TABLES, SHOW DATABASES, SUPER, EXECUTE ON *.* TO 'jo'@'%' WITH "
          L"GRANT OPTION",
          L"flush privileges"},
         {L"use mysql", L"ALTER USER 'jo'@'%' IDENTIFIED BY 'n\\'w'", L"ALTER USER 'jo'@'localhost' IDENTIFIED BY 'n\\'w'",
          L"FLUSH PRIVILEGES"}},
    };
    for (const Case& c : cases) {
        // The design's legacy rows carry the password exactly as given (user creation: "p\'w" as the test passes it).
        EXPECT_EQ(userCreationStatements(c.version, L"my\\_db", L"jo", L"p\\'w", L"p\\'w", L"%"), c.user) << cstr(c.version);
        EXPECT_EQ(administratorStatements(c.version, L"jo", L"jo", L"p'w", L"p\\'w"), c.administrator) << cstr(c.version);
        EXPECT_EQ(setPasswordStatements(c.version, L"jo", L"jo", L"n\\'w", {L"%", L"localhost"}), c.password)
            << cstr(c.version);
    }
}

// ----------------------------------------------------------- content handler

TEST_F(XmlImport, HandlerFailureStopsTheReaderAndIsRaisedOnce) {
    const std::wstring document = dir.write(L"five.xml", L"<a><b/><c x='1'/><d/><e/></a>");
    struct Case {
        Probe::Failure failure;
        const wchar_t* message;  // of the vexception; null: the cancellation itself
    } cases[] = {{Probe::VException, L"third element refused"}, {Probe::StdException, L"plain failure"},
                 {Probe::Cancel, nullptr}};
    for (const Case& c : cases) {
        Probe probe;
        probe.failure = c.failure;
        probe.failAt = 3;
        int raised = 0;
        try {
            probe.parseURL(document);
        } catch (const vexception& e) {
            ++raised;
            ASSERT_TRUE(c.message) << "a vexception for a cancellation";
            EXPECT_EQ(e.message(), c.message);
            ASSERT_FALSE(e.locations().empty());
            EXPECT_EQ(e.locations().back().function, "ContentHandlerWrapper::parseURL");
            EXPECT_EQ(e.locations().back().line, 24u);
        } catch (const ThreadCancelation::ThreadCanceledException& e) {
            ++raised;
            EXPECT_FALSE(c.message) << "a cancellation for a failure";
            EXPECT_EQ(e.threadId, GetCurrentThreadId());
        }
        EXPECT_EQ(raised, 1) << c.failure;
        EXPECT_EQ(probe.elements, (Lines{L"a", L"b", L"c"})) << c.failure;
        EXPECT_TRUE(probe.errorText().empty());
        // The same object parses again from a clean state.
        probe.failure = Probe::None;
        probe.elements.clear();
        probe.parseURL(document);
        EXPECT_EQ(probe.elements.size(), 5u);
    }
}

TEST_F(XmlImport, ReaderFailuresArriveAsComErrors) {
    const std::wstring documents[] = {dir.file(L"missing.xml"), dir.write(L"broken.xml", L"<a><b></a>")};
    for (const std::wstring& document : documents) {
        Probe probe;
        HRESULT code = S_OK;
        try {
            probe.parseURL(document);
        } catch (const ComError& e) {
            code = e.error();
        } catch (const vexception& e) {
            ADD_FAILURE() << "vexception " << cstr(e.message());
        }
        EXPECT_TRUE(FAILED(code)) << cstr(document);
    }
}

TEST_F(XmlImport, QueryInterface) {
    Probe probe;
    void* object = &probe;
    EXPECT_EQ(probe.QueryInterface(msxml::saxAttributes, &object), static_cast<HRESULT>(0x80004002));
    EXPECT_EQ(object, nullptr);
    for (const IID& iid : {IID_IUnknown, msxml::saxContentHandler}) {
        object = nullptr;
        EXPECT_EQ(probe.QueryInterface(iid, &object), S_OK);
        EXPECT_EQ(object, static_cast<SaxContentHandlerEntry*>(&probe));
    }
}

// ----------------------------------------------------------- importer texts

// Documents against a recording provider: the statements each sends, in
// order, including where a document breaks off.
TEST_F(XmlImport, ImporterStatements) {
    const std::wstring create = L"CREATE TABLE `t`(";
    const std::wstring engine = L") ENGINE=InnoDB DEFAULT CHARSET=utf8";
    struct Case {
        const char* what;
        bool schema, fresh;
        const wchar_t* version;
        std::wstring document;
        Lines expected;
        bool breaksOff;
    } cases[] = {
        {"auto_increment id", true, true, L"10.11.6-MariaDB",
         L"<s><table name='t'><column name='id' type='int(11)' null='NO' default='0' extra='auto_increment'/>"
         L"<index key_name='PRIMARY' column_name='id' non_unique='0' Collation='A'/></table></s>",
         {create + L"`id` int(11) NOT NULL default '0' auto_increment,PRIMARY KEY  (`id` ASC) " + engine}, false},
        {"current timestamp, old server, existing database", true, false, L"4.0.27",
         L"<s><table name='t'><column name='ts' type='timestamp' null='YES' default='CURRENT_TIMESTAMP' extra=''/>"
         L"<column name='n' type='varchar(5)'/></table></s>",
         {L"DROP TABLE IF EXISTS `t`",
          create + L"`ts` timestamp default CURRENT_TIMESTAMP ,`n` varchar(5) NOT NULL ) TYPE=InnoDB DEFAULT CHARSET=utf8"}, false},
        {"keys over several columns", true, true, L"5.0.51",
         L"<s><table name='t'><column name='a' type='int(11)' null='NO'/>"
         L"<index key_name='u' column_name='c' non_unique='0' Collation='A'/>"
         L"<index key_name='PRIMARY' column_name='a' non_unique='0' Collation='A'/>"
         L"<index key_name='PRIMARY' column_name='b' non_unique='0' Collation='A'/>"
         L"<index key_name='k' column_name='d' non_unique='1' Collation=''/>"
         L"<index key_name='u' column_name='e' non_unique='0' Collation='A'/></table></s>",
         {create + L"`a` int(11) NOT NULL ,PRIMARY KEY  (`a` ASC, `b` ASC) ,KEY `k`(`d` DESC) ,UNIQUE KEY `u`(`c` ASC, `e` ASC) " + engine}, false},
        {"schema breaks off in the second table", true, true, L"10.11.6-MariaDB",
         L"<s><table name='t'><column name='a' type='text' null='YES'/></table><table name='u'><column name='b'",
         {create + L"`a` text " + engine}, true},
        {"values", false, false, L"",
         L"<d><table name='t'><row><field name='a' value='x' isnull='true'/><field name='b' value='at'>tr</field>"
         L"<field name='c'>it's a \\ path</field><field name='d'/></row></table><table name='e'/></d>",
         {L"delete from `t`", L"INSERT INTO `t`(`a`,`b`,`c`,`d`) VALUES (NULL,'attr','it\\'s a \\\\ path','')",
          L"delete from `e`"}, false},
        {"data breaks off in the third row", false, false, L"",
         L"<d><table name='t'><row><field name='a'>1</field></row><row><field name='a'>2</field></row>"
         L"<row><field name='a'>3",
         {L"delete from `t`", L"INSERT INTO `t`(`a`) VALUES ('1')", L"INSERT INTO `t`(`a`) VALUES ('2')"}, true},
    };
    for (const Case& c : cases) {
        RecordingProvider provider;
        provider.serverVersion = c.version;
        const std::wstring path = dir.write(L"case.xml", c.document);
        bool brokeOff = false;
        try {
            if (c.schema) {
                MySQLSchemaImporter importer(provider, c.fresh);
                importer.parseURL(path);
            } else {
                MySQLDataImporter importer(provider, L"db");
                importer.parseURL(path);
            }
        } catch (const ComError&) {
            brokeOff = true;
        }
        EXPECT_EQ(brokeOff, c.breaksOff) << c.what;
        EXPECT_EQ(provider.statements, c.expected) << c.what;
    }
}

TEST_F(XmlImport, RefusedRowIsLoggedAndSkipped) {
    RecordingProvider provider;
    provider.onExecute = [](const std::wstring& statement) {
        if (statement.find(L"'2'") != std::wstring::npos) throw vexception(L"Duplicate entry", VLOCATION("test"));
    };
    const std::wstring path = dir.write(
        L"rows.xml", L"<d><table name='t'><row><field name='a'>1</field></row><row><field name='a'>2</field></row>"
                     L"<row><field name='a'>3</field></row></table></d>");
    auto& errors = ErrorCapture::start();
    MySQLDataImporter importer(provider, L"db");
    importer.parseURL(path);
    EXPECT_EQ(provider.statements.size(), 4u);
    EXPECT_EQ(provider.statements.back(), L"INSERT INTO `t`(`a`) VALUES ('3')");
    EXPECT_EQ(importer.rowsInserted(), 2u);
    EXPECT_EQ(importer.rowsRefused(), 1u);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].message, L"Duplicate entry");
    EXPECT_EQ(errors[0].where,
              L"MySQLDataImporter::endElement:318 Unable to import data row: INSERT INTO `t`(`a`) VALUES ('2')");
}

// ----------------------------------------------------------- real server

namespace {

// Statements run against the server and undone on every way out.
class Undo {
public:
    explicit Undo(IDatabaseProvider& provider) : provider_(provider) {}
    ~Undo() {
        for (auto it = statements_.rbegin(); it != statements_.rend(); ++it)
            ignoreFailure([&] { provider_.execute(*it); });
    }
    void add(const std::wstring& statement) {
        ignoreFailure([&] { provider_.execute(statement); });
        statements_.push_back(statement);
    }

private:
    IDatabaseProvider& provider_;
    Lines statements_;
};

// Every row of the table, cells quoted or NULL, in a stable order.
Lines tableRows(IDatabaseProvider& provider, const std::wstring& table) {
    RecordSetRef records(provider.query(L"select * from `" + table + L"` order by 1, 2"));
    Lines rows;
    std::wstring value;
    while (records->next()) {
        std::wstring row;
        for (unsigned i = 0; i < records->fieldCount(); ++i)
            row += records->tryGetValue(i, value, false) ? L"'" + value + L"' " : L"NULL ";
        rows.push_back(row);
    }
    return rows;
}

// SHOW CREATE TABLE without the table's next auto_increment value.
std::wstring createStatement(IDatabaseProvider& provider, const std::wstring& table) {
    RecordSetRef records(provider.query(L"SHOW CREATE TABLE `" + table + L"`"));
    std::wstring text = records->next() ? records->getValue(1, L"", false) : L"(none)";
    size_t at = text.find(L" AUTO_INCREMENT=");
    if (at != std::wstring::npos) text.erase(at, text.find(L' ', at + 1) - at);
    return text;
}

class MySQLImport : public XmlImport {
protected:
    void SetUp() override {
        REQUIRE_TEST_SERVER();
        dbtest::clearDbEnvironment();
        admin = std::make_unique<MySQLDatabaseProvider>();
        dbtest::connect(*admin);
        undo = std::make_unique<Undo>(*admin);
    }
    void TearDown() override { undo.reset(); }
    // A fresh provider connected to the database, as the administrator.
    std::unique_ptr<MySQLDatabaseProvider> open(const std::wstring& database) {
        auto provider = std::make_unique<MySQLDatabaseProvider>();
        const dbtest::Server& s = dbtest::server();
        provider->connect(s.host, database, s.login, s.password, s.port, L"");
        return provider;
    }
    void importSchema(const std::wstring& document, const std::wstring& database, bool recreate,
                      const std::wstring& login, const std::wstring& password, const std::wstring& managerLogin = L"",
                      const std::wstring& managerPassword = L"") {
        const dbtest::Server& s = dbtest::server();
        MySQLDatabaseProvider provider;
        provider.ImportSchema(document, s.host, database, login, password, s.port, L"", recreate, managerLogin,
                              managerPassword);
    }
    void importData(const std::wstring& document, const std::wstring& database) {
        const dbtest::Server& s = dbtest::server();
        MySQLDatabaseProvider provider;
        provider.ImportData(document, s.host, database, s.login, s.password, s.port, L"");
    }

    std::unique_ptr<MySQLDatabaseProvider> admin;
    std::unique_ptr<Undo> undo;
};

}  // namespace

TEST_F(MySQLImport, RoundTripKeepsEveryRowAndTheTableDefinitions) {
    const dbtest::Server& s = dbtest::server();
    undo->add(L"DROP DATABASE IF EXISTS hvc_imp_src");
    undo->add(L"DROP DATABASE IF EXISTS hvc_imp_dst");
    admin->execute(L"CREATE DATABASE hvc_imp_src DEFAULT CHARSET=utf8");
    auto source = open(L"hvc_imp_src");
    source->execute(
        L"CREATE TABLE `people` (`id` int(11) NOT NULL AUTO_INCREMENT, `name` varchar(64) NOT NULL DEFAULT 'x', "
        L"`note` text, `amount` int(11) DEFAULT 5, `born` date DEFAULT NULL, `seen` datetime DEFAULT NULL, "
        L"`stamp` timestamp NOT NULL DEFAULT current_timestamp(), PRIMARY KEY (`id`), "
        L"UNIQUE KEY `name_born` (`name`,`born`), KEY `amount_seen` (`amount`,`seen`)) ENGINE=InnoDB DEFAULT CHARSET=utf8");
    source->execute(L"CREATE TABLE `plain` (`code` char(4) DEFAULT NULL, `label` varchar(20) DEFAULT NULL) "
                    L"ENGINE=InnoDB DEFAULT CHARSET=utf8");
    source->execute(
        L"INSERT INTO people VALUES (1, 'O''Brien', 'C:\\\\dir\\\\file', NULL, '2024-02-29', '2024-02-29 13:14:15', "
        L"'2020-01-01 00:00:00'), (2, 'Grüße – 日本語', 'line1\\nline2 \"q\" <&>', 7, NULL, NULL, '2021-06-30 23:59:59'), "
        L"(5, '', '', 0, '1999-12-31', '1999-12-31 23:59:59', '2022-02-02 02:02:02')");
    source->execute(L"INSERT INTO plain VALUES ('ab', NULL), (NULL, '\\\\'), ('ÄÖ', ' spaced ')");

    exportMySQLDatabase(*source, dir.file(L"out\\sub"), nullptr, nullptr);
    importSchema(dir.file(L"out\\sub\\schema.xml"), L"hvc_imp_dst", true, s.login, s.password);
    importData(dir.file(L"out\\sub\\data.xml"), L"hvc_imp_dst");

    auto copy = open(L"hvc_imp_dst");
    for (const wchar_t* table : {L"people", L"plain"}) {
        Lines rows = tableRows(*source, table);
        EXPECT_EQ(rows.size(), 3u);
        EXPECT_EQ(tableRows(*copy, table), rows) << cstr(table);
        EXPECT_EQ(createStatement(*copy, table), createStatement(*source, table)) << cstr(table);
    }
    // The key goes on counting above the imported ids. The counter table was
    // reset after each import, the second time above its own id 1.
    copy->execute(L"INSERT INTO people (name) VALUES ('next')");
    EXPECT_EQ(copy->lastInsertId(), 6u);
    EXPECT_EQ(scalar(*copy, L"select group_concat(id) from ms_jet_counter"), L"2");

    // The same rows as DOM elements: every field by name, value or NULL, in column order.
    ComPtr<IXMLDOMDocument> document;
    ASSERT_EQ(CoCreateInstance(msxml::domDocument30, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                               document.putVoid()),
              S_OK);
    source->exportDataToNode(document.get());
    Lines expected, fields;
    for (const wchar_t* table : {L"people", L"plain"}) {
        RecordSetRef records(source->query(std::wstring(L"select * from `") + table + L"`"));
        std::wstring value;
        while (records->next())
            for (unsigned i = 0; i < records->fieldCount(); ++i)
                expected.push_back(records->fieldName(i) + (records->tryGetValue(i, value, false) ? L"=" + value : L" NULL"));
    }
    ComPtr<IXMLDOMNodeList> list;
    UniqueBstr tag(SysAllocString(L"field"));
    ASSERT_EQ(document->getElementsByTagName(tag.get(), list.put()), S_OK);
    for (ComPtr<IXMLDOMNode> node; list->nextNode(node.put()) == S_OK && node;) {
        ComPtr<IXMLDOMElement> element;
        ASSERT_EQ(node->QueryInterface(IID_IXMLDOMElement, element.putVoid()), S_OK);
        auto attribute = [&](const wchar_t* name) {
            UniqueBstr text(SysAllocString(name));
            UniqueVariant value;
            element->getAttribute(text.get(), value.put());
            return (*value).vt == VT_BSTR ? std::wstring((*value).bstrVal, SysStringLen((*value).bstrVal)) : L"(none)";
        };
        fields.push_back(attribute(L"name") + (attribute(L"isnull") == L"true" ? L" NULL" : L"=" + attribute(L"value")));
    }
    EXPECT_EQ(fields, expected);
}

// A document that breaks off keeps what was finished before it: whole
// tables of a schema, rows of a data document. A refused row is logged and
// the rows after it arrive.
TEST_F(MySQLImport, BrokenDocumentsAndRefusedRows) {
    const dbtest::Server& s = dbtest::server();
    undo->add(L"DROP DATABASE IF EXISTS hvc_imp_part");
    const std::wstring schema = dir.write(
        L"schema.xml", L"<schema><table name='whole'><column name='id' type='int(11)' null='NO'/>"
                       L"<index key_name='PRIMARY' column_name='id' non_unique='0' Collation='A'/></table>"
                       L"<table name='partial'><column name='id' type='int(11)' null='NO'/>");
    EXPECT_THROW(importSchema(schema, L"hvc_imp_part", true, s.login, s.password), ComError);
    auto db = open(L"hvc_imp_part");
    EXPECT_TRUE(db->tableExists(L"whole"));
    EXPECT_FALSE(db->tableExists(L"partial"));

    db->execute(L"INSERT INTO whole VALUES (99)");
    const std::wstring data = dir.write(
        L"data.xml", L"<data><table name='whole'><row><field name='id'>1</field></row><row><field name='id'>2</field>"
                     L"</row><row><field name='id'>3</field>");
    EXPECT_THROW(importData(data, L"hvc_imp_part"), ComError);
    EXPECT_EQ(scalar(*db, L"select group_concat(id order by id) from whole"), L"1,2");

    const std::wstring duplicate = dir.write(
        L"dup.xml", L"<data><table name='whole'><row><field name='id'>1</field></row><row><field name='id'>1</field>"
                    L"</row><row><field name='id'>2</field></row></table></data>");
    auto& errors = ErrorCapture::start();
    importData(duplicate, L"hvc_imp_part");
    EXPECT_EQ(scalar(*db, L"select group_concat(id order by id) from whole"), L"1,2");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].message.find(L"Duplicate entry"), std::wstring::npos) << cstr(errors[0].message);
    EXPECT_EQ(errors[0].where, L"MySQLDataImporter::endElement:318 Unable to import data row: INSERT INTO `whole`(`id`) VALUES ('1')");
}

// The manager path: a new login with its privileges, then the database
// created and loaded through that login.
TEST_F(MySQLImport, ManagerCreatesTheLogin) {
    const dbtest::Server& s = dbtest::server();
    undo->add(L"DROP USER IF EXISTS 'hvc_imp_user'@'%'");
    undo->add(L"DROP DATABASE IF EXISTS hvc_imp_mgr");
    const std::wstring schema = dir.write(
        L"schema.xml", L"<schema><table name='clients'><column name='pool_id' type='int(11)' null='NO' "
                       L"extra='auto_increment'/><index key_name='PRIMARY' column_name='pool_id' non_unique='0' "
                       L"Collation='A'/></table></schema>");
    const Lines& log = dbtest::LogCapture::start();
    importSchema(schema, L"hvc_imp_mgr", true, L"hvc_imp_user", L"Pw'imp\\1", s.login, s.password);
    EXPECT_NE(std::find(log.begin(), log.end(), L"SQL: SET SESSION old_passwords=0"), log.end());

    MySQLDatabaseProvider user;
    user.connect(s.host, L"hvc_imp_mgr", L"hvc_imp_user", L"Pw'imp\\1", s.port, L"");
    EXPECT_TRUE(user.tableExists(L"clients"));
    EXPECT_EQ(scalar(user, L"select id from ms_jet_counter"), L"1");
    std::wstring grants;
    RecordSetRef records(admin->query(L"SHOW GRANTS FOR 'hvc_imp_user'@'%'"));
    while (records->next()) grants += records->getValue(0, L"", false) + L"\n";
    EXPECT_NE(grants.find(L"SUPER"), std::wstring::npos) << cstr(grants);
    EXPECT_NE(grants.find(L"ON *.* TO `hvc_imp_user`@`%`"), std::wstring::npos) << cstr(grants);
    EXPECT_NE(grants.find(L"WITH GRANT OPTION"), std::wstring::npos) << cstr(grants);
    EXPECT_NE(grants.find(L"ON `master`.* TO `hvc_imp_user`@`%`"), std::wstring::npos) << cstr(grants);

    std::wstring again = dbtest::thrownText(
        [&] { importSchema(schema, L"hvc_imp_mgr", true, L"hvc_imp_user", L"other", s.login, s.password); });
    EXPECT_EQ(again, L"User hvc_imp_user already exists");
}
