// The XML import: the SAX content-handler base, the type table, account and
// importer statement texts, and round trips against the run's MariaDB server.
#include <gtest/gtest.h>
#include <windows.h>
#include <msxml2.h>

#include "database/connparams.h"
#include "database/import/mysqlimport.h"
#include "database/import/typetable.h"
#include "database/mysqlaccounts.h"
#include "database/xml.h"
#include "database/xmlexport.h"
#include "db_testenv.h"
#include "fsutil.h"
#include "runtime/catchpoint.h"
#include "runtime/comerror.h"
#include "runtime/threadcanceled.h"

using dbtest::scalar;
using Lines = std::vector<std::wstring>;

namespace {

using dbtest::ComApartment;
using dbtest::ErrorCapture;

// Records what it is asked to execute; escape marks quotes and backslashes as MySQL does.
struct RecordingProvider : MySQLDatabaseProvider {
    std::wstring serverVersion;
    Lines statements;
    void execute(const std::wstring& statement) override { statements.push_back(statement); }
    std::wstring version() override { return serverVersion; }
    std::wstring escape(const std::wstring& text) override {
        std::wstring escaped;
        for (wchar_t c : text) escaped += (c == L'\'' || c == L'\\' ? L"\\" : L"") + std::wstring(1, c);
        return escaped;
    }
};

// Records the local names of started elements; fails as told on the third.
struct Probe final : ContentHandlerWrapper {
    enum Failure { None, VException, StdException, Cancel } failure = None;
    Lines elements;
    void startElement(const wchar_t*, int, const wchar_t* localName, int localLength, const wchar_t*, int,
                      ISAXAttributes*) override {
        elements.emplace_back(localName, static_cast<size_t>(localLength));
        if (elements.size() != 3) return;
        if (failure == VException) throw vexception(L"third element refused", VLOCATION("Probe::startElement"));
        if (failure == StdException) throw std::runtime_error("plain failure");
        if (failure == Cancel) throw ThreadCancelation::ThreadCanceledException{GetCurrentThreadId()};
    }
};

class XmlImport : public ::testing::Test {
protected:
    // Writes the text as UTF-8 into the test's directory; the file's path.
    std::wstring document(const wchar_t* name, const std::wstring& text) {
        fsutil::writeFile(dir / name, cstr(text, CP_UTF8));
        return dir / name;
    }
    ComApartment com;
    fsutil::TempTree dir;
};

}  // namespace

TEST(ImportTypeTable, JetAndSqlServerTypes) {
    struct { const wchar_t *mysql, *jet, *mssql; } cases[] = {  // null: refused
        {L"int(11)", L"INTEGER ", L"int "},                    {L"int(10) unsigned", L"INTEGER ", L"int "},
        {L"tinyint(1)", L"TINYINT ", L"tinyint "},             {L"smallint(6)", L"SMALLINT ", L"smallint "},
        {L"enum('a','b')", L"TEXT(255) ", L"nvarchar(255) "},  {L"varchar(40)", L"TEXT(40) ", L"nvarchar(40) "},
        {L"char(2)", L"TEXT(2) ", L"nvarchar(2) "},            {L"bigint(20)", L"NUMERIC( 20, 0 ) ", L"bigint "},
        {L"text", L"TEXT ", L"ntext "},                        {L"mediumtext", L"TEXT ", L"ntext "},
        {L"blob", L"TEXT ", L"ntext "},                        {L"datetime", L"DATETIME ", L"datetime "},
        {L"date", L"DATETIME ", L"datetime "},                 {L"timestamp", L"DATETIME ", L"datetime "},
        // No guessing: prefixes are case-sensitive, whole names exact.
        {L"mediumint(9)", nullptr, nullptr}, {L"INT(11)", nullptr, nullptr}, {L"text ", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        for (auto dialect : {TypeDialect::Jet, TypeDialect::MSSQL}) {
            const wchar_t* expected = dialect == TypeDialect::Jet ? c.jet : c.mssql;
            std::wstring translated;
            EXPECT_EQ(translateColumnType(c.mysql, dialect, translated) ? translated : L"(refused)",
                      expected ? expected : L"(refused)") << cstr(c.mysql);
        }
    }
}

TEST(ImportStatements, ServerKindsAndAccountTexts) {
    struct { const wchar_t* version; bool accountStatements, oldPasswords; const wchar_t* engine; } kinds[] = {
        {L"4.0.27-max", false, true, L"TYPE"},     {L"4.1.22", false, true, L"ENGINE"},
        {L"5.7.44-log", false, true, L"ENGINE"},   {L"8.0.35", true, false, L"ENGINE"},
        {L"10.3.39-MariaDB", false, true, L"ENGINE"}, {L"10.4.0-MariaDB", true, true, L"ENGINE"},
    };
    for (const auto& c : kinds) {
        EXPECT_EQ(usesAccountStatements(c.version), c.accountStatements) << cstr(c.version);
        EXPECT_EQ(hasOldPasswords(c.version), c.oldPasswords) << cstr(c.version);
        EXPECT_EQ(mySQLTableOptions(c.version), std::wstring(c.engine) + L"=InnoDB DEFAULT CHARSET=utf8");
    }
    EXPECT_EQ(grantPattern(L"a_b"), L"a\\_b");
    EXPECT_EQ(grantPattern(L"a\\_b"), L"a\\_b");  // already escaped: not twice
    // Legacy servers get rows in mysql.user and mysql.db; every value goes in escaped.
    EXPECT_EQ(userCreationStatements(L"4.0.27", L"my\\_db", L"jo", L"p\\'w", L"%"),
              (Lines{L"INSERT INTO mysql.user (Host, User, Password, Select_priv, Insert_priv, Update_priv, "
                     L"Delete_priv, Create_priv, Drop_priv, Reload_priv, Shutdown_priv, Process_priv, File_priv, "
                     L"Grant_priv, References_priv, Index_priv, Alter_priv, Lock_tables_priv, Create_tmp_table_priv) "
                     L"VALUES ('%', 'jo', PASSWORD('p\\'w'), 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', "
                     L"'N', 'N', 'N', 'N', 'N')",
                     L"INSERT INTO mysql.db (Host, Db, User, Select_priv, Insert_priv, Update_priv, Delete_priv, "
                     L"Create_priv, Drop_priv, Grant_priv, References_priv, Index_priv, Alter_priv, Lock_tables_priv, "
                     L"Create_tmp_table_priv) VALUES ('%', 'my\\_db', 'jo', 'Y', 'Y', 'Y', 'Y', 'Y', 'Y', 'N', 'Y', "
                     L"'Y', 'Y', 'Y', 'Y')",
                     L"FLUSH PRIVILEGES"}));
    EXPECT_NE(userCreationStatements(L"5.1.73", L"d", L"jo", L"p", L"%")[0].find(L", x509_subject) VALUES ('%'"),
              std::wstring::npos);
    const std::wstring admin = administratorStatements(L"5.1.73", L"j\\'o", L"p\\'w")[0];
    EXPECT_EQ(admin.find(L"REPLACE INTO mysql.user"), 0u);
    EXPECT_NE(admin.find(L"VALUES ('%', 'j\\'o', PASSWORD('p\\'w'), 'Y'"), std::wstring::npos) << cstr(admin);
    EXPECT_EQ(setPasswordStatements(L"5.1.73", L"j\\'o", L"n\\'w", {L"%", L"localhost"}),
              (Lines{L"use mysql", L"UPDATE user set Password=PASSWORD('n\\'w') WHERE User='j\\'o'", L"FLUSH PRIVILEGES"}));
    // Newer servers get account statements.
    EXPECT_EQ(userCreationStatements(L"10.11.6-MariaDB", L"my\\_db", L"jo", L"p\\'w", L"%"),
              (Lines{L"CREATE USER 'jo'@'%' IDENTIFIED BY 'p\\'w'",
                     L"GRANT SELECT, INSERT, UPDATE, DELETE, CREATE, DROP, REFERENCES, INDEX, ALTER, LOCK TABLES, "
                     L"CREATE TEMPORARY TABLES ON `my\\_db`.* TO 'jo'@'%'",
                     L"FLUSH PRIVILEGES"}));
}

// A handler's failure ends the parse and is raised once, as what it was; the
// reader's own failures arrive as COM errors. The object parses again afterwards.
TEST_F(XmlImport, HandlerAndReaderFailures) {
    const std::wstring five = document(L"five.xml", L"<a><b/><c x='1'/><d/><e/></a>");
    const std::wstring handlerFailed = L" at ContentHandlerWrapper::parseURL:24";
    struct { Probe::Failure failure; std::wstring path, raised; Lines elements; } cases[] = {
        {Probe::VException, five, L"third element refused" + handlerFailed, {L"a", L"b", L"c"}},
        {Probe::StdException, five, L"plain failure" + handlerFailed, {L"a", L"b", L"c"}},
        {Probe::Cancel, five, L"cancelled", {L"a", L"b", L"c"}},
        {Probe::None, dir / L"missing.xml", L"COM error", {}},
        {Probe::None, document(L"broken.xml", L"<a><b></a>"), L"COM error", {L"a", L"b"}},
    };
    for (const auto& c : cases) {
        Probe probe;
        probe.failure = c.failure;
        std::wstring raised = L"(nothing)";
        try {
            probe.parseURL(c.path);
        } catch (const vexception& e) {
            raised = e.message() + L" at " + wstr(e.locations().back().function) + L":" +
                     std::to_wstring(e.locations().back().line);
        } catch (const ThreadCancelation::ThreadCanceledException& e) {
            raised = e.threadId == GetCurrentThreadId() ? L"cancelled" : L"cancelled elsewhere";
        } catch (const ComError& e) {
            raised = FAILED(e.error()) ? L"COM error" : L"COM success";
        }
        EXPECT_EQ(raised, c.raised) << cstr(c.path);
        EXPECT_EQ(probe.elements, c.elements) << cstr(c.raised);
        probe.failure = Probe::None;
        probe.elements.clear();
        probe.parseURL(five);
        EXPECT_EQ(probe.elements.size(), 5u);
    }
}

TEST_F(XmlImport, QueryInterface) {
    Probe probe;
    void* object = &probe;
    EXPECT_EQ(probe.QueryInterface(msxml::saxAttributes, &object), static_cast<HRESULT>(0x80004002));
    EXPECT_EQ(object, nullptr);
    for (const IID& iid : {IID_IUnknown, msxml::saxContentHandler}) {
        EXPECT_EQ(probe.QueryInterface(iid, &object), S_OK);
        EXPECT_EQ(object, static_cast<SaxContentHandlerEntry*>(&probe));
    }
}

// What the MySQL importers send for what the server cannot show: the fresh
// flag, the old servers' table type, descending keys, values given twice.
TEST_F(XmlImport, ImporterStatements) {
    const std::wstring create = L"CREATE TABLE `t`(";
    struct { bool schema, fresh; const wchar_t* version; std::wstring document; Lines expected; } cases[] = {
        {true, true, L"10.11.6-MariaDB",
         L"<s><table name='t'><column name='id' type='int(11)' null='NO' default='0' extra='auto_increment'/>"
         L"<index key_name='PRIMARY' column_name='id' non_unique='0' Collation='A'/>"
         L"<index key_name='PRIMARY' column_name='b' non_unique='0' Collation='A'/>"
         L"<index key_name='k' column_name='d' non_unique='1' Collation=''/></table></s>",
         {create + L"`id` int(11) NOT NULL default '0' auto_increment,PRIMARY KEY  (`id` ASC, `b` ASC) ,"
                   L"KEY `k`(`d` DESC) ) ENGINE=InnoDB DEFAULT CHARSET=utf8"}},
        {true, false, L"4.0.27",
         L"<s><table name='t'><column name='ts' type='timestamp' null='YES' default='CURRENT_TIMESTAMP'/>"
         L"<column name='n' type='varchar(5)'/></table></s>",
         {L"DROP TABLE IF EXISTS `t`",
          create + L"`ts` timestamp default CURRENT_TIMESTAMP ,`n` varchar(5) NOT NULL ) TYPE=InnoDB DEFAULT CHARSET=utf8"}},
        {false, false, L"",
         L"<d><table name='t'><row><field name='a' value='x' isnull='true'/><field name='b' value='at'>tr</field>"
         L"<field name='c'>it's a \\ path</field><field name='d'/></row></table><table name='e'/></d>",
         {L"delete from `t`", L"INSERT INTO `t`(`a`,`b`,`c`,`d`) VALUES (NULL,'attr','it\\'s a \\\\ path','')",
          L"delete from `e`"}},
    };
    for (const auto& c : cases) {
        RecordingProvider provider;
        provider.serverVersion = c.version;
        const std::wstring path = document(L"case.xml", c.document);
        if (c.schema) MySQLSchemaImporter(provider, c.fresh).parseURL(path);
        else MySQLDataImporter(provider, L"db").parseURL(path);
        EXPECT_EQ(provider.statements, c.expected) << cstr(c.document);
    }
}

// ----------------------------------------------------------- real server

namespace {

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
        dbtest::connect(admin);
    }
    // Undone statements run now, and again in reverse order at the end.
    void undo(const std::wstring& statement) {
        ignoreFailure([&] { admin.execute(statement); });
        undo_.push_back(statement);
    }
    void TearDown() override {
        for (auto it = undo_.rbegin(); it != undo_.rend(); ++it) ignoreFailure([&] { admin.execute(*it); });
    }
    std::unique_ptr<MySQLDatabaseProvider> open(const std::wstring& database) {
        auto provider = std::make_unique<MySQLDatabaseProvider>();
        provider->connect(s.host, database, s.login, s.password, s.port, L"");
        return provider;
    }
    void importSchema(const std::wstring& path, const std::wstring& database, const std::wstring& login,
                      const std::wstring& password, const std::wstring& manager = L"", const std::wstring& managerPw = L"") {
        MySQLDatabaseProvider().ImportSchema(path, s.host, database, login, password, s.port, L"", true, manager, managerPw);
    }
    void importData(const std::wstring& path, const std::wstring& database) {
        MySQLDatabaseProvider().ImportData(path, s.host, database, s.login, s.password, s.port, L"");
    }

    const dbtest::Server& s = dbtest::server();
    MySQLDatabaseProvider admin;
    Lines undo_;
};

}  // namespace

TEST_F(MySQLImport, RoundTripKeepsEveryRowAndTheTableDefinitions) {
    undo(L"DROP DATABASE IF EXISTS hvc_imp_src");
    undo(L"DROP DATABASE IF EXISTS hvc_imp_dst");
    admin.execute(L"CREATE DATABASE hvc_imp_src DEFAULT CHARSET=utf8");
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

    exportMySQLDatabase(*source, dir / L"out\\sub", nullptr, nullptr);
    importSchema(dir / L"out\\sub\\schema.xml", L"hvc_imp_dst", s.login, s.password);
    importData(dir / L"out\\sub\\data.xml", L"hvc_imp_dst");
    auto copy = open(L"hvc_imp_dst");
    for (const wchar_t* table : {L"people", L"plain"}) {
        Lines rows = tableRows(*source, table);
        EXPECT_EQ(rows.size(), 3u);
        EXPECT_EQ(tableRows(*copy, table), rows) << cstr(table);
        EXPECT_EQ(createStatement(*copy, table), createStatement(*source, table)) << cstr(table);
    }
    // The key goes on counting above the imported ids; the counter table too, above its own id 1.
    copy->execute(L"INSERT INTO people (name) VALUES ('next')");
    EXPECT_EQ(copy->lastInsertId(), 6u);
    EXPECT_EQ(scalar(*copy, L"select group_concat(id) from ms_jet_counter"), L"2");

    // The same rows as DOM elements: every field by name, value or NULL, in column order.
    ComPtr<IXMLDOMDocument> dom;
    ASSERT_EQ(CoCreateInstance(msxml::domDocument30, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument, dom.putVoid()), S_OK);
    source->exportDataToNode(dom.get());
    Lines expected, fields;
    std::wstring value;
    for (const wchar_t* table : {L"people", L"plain"}) {
        RecordSetRef records(source->query(std::wstring(L"select * from `") + table + L"`"));
        while (records->next())
            for (unsigned i = 0; i < records->fieldCount(); ++i)
                expected.push_back(records->fieldName(i) + (records->tryGetValue(i, value, false) ? L"=" + value : L" NULL"));
    }
    ComPtr<IXMLDOMNodeList> list;
    UniqueBstr tag(SysAllocString(L"field"));
    ASSERT_EQ(dom->getElementsByTagName(tag.get(), list.put()), S_OK);
    for (ComPtr<IXMLDOMNode> node; list->nextNode(node.put()) == S_OK && node;) {
        ComPtr<IXMLDOMElement> element;
        ASSERT_EQ(node->QueryInterface(IID_IXMLDOMElement, element.putVoid()), S_OK);
        auto attribute = [&](const wchar_t* name) {
            UniqueBstr text(SysAllocString(name));
            UniqueVariant got;
            element->getAttribute(text.get(), got.put());
            return (*got).vt == VT_BSTR ? std::wstring((*got).bstrVal, SysStringLen((*got).bstrVal)) : L"(none)";
        };
        fields.push_back(attribute(L"name") + (attribute(L"isnull") == L"true" ? L" NULL" : L"=" + attribute(L"value")));
    }
    EXPECT_EQ(fields, expected);
}

// A document that breaks off keeps whole tables of a schema and the rows of
// data read so far; a refused row is logged and the rows after it arrive.
TEST_F(MySQLImport, BrokenDocumentsAndRefusedRows) {
    undo(L"DROP DATABASE IF EXISTS hvc_imp_part");
    EXPECT_THROW(importSchema(document(L"schema.xml",
                                       L"<schema><table name='whole'><column name='id' type='int(11)' null='NO'/>"
                                       L"<index key_name='PRIMARY' column_name='id' non_unique='0' Collation='A'/></table>"
                                       L"<table name='partial'><column name='id' type='int(11)' null='NO'/>"),
                              L"hvc_imp_part", s.login, s.password),
                 ComError);
    auto db = open(L"hvc_imp_part");
    EXPECT_TRUE(db->tableExists(L"whole"));
    EXPECT_FALSE(db->tableExists(L"partial"));

    db->execute(L"INSERT INTO whole VALUES (99)");
    EXPECT_THROW(importData(document(L"data.xml", L"<data><table name='whole'><row><field name='id'>1</field></row>"
                                                  L"<row><field name='id'>2</field></row><row><field name='id'>3</field>"),
                            L"hvc_imp_part"),
                 ComError);
    EXPECT_EQ(scalar(*db, L"select group_concat(id order by id) from whole"), L"1,2");

    auto& errors = ErrorCapture::start();
    importData(document(L"dup.xml", L"<data><table name='whole'><row><field name='id'>1</field></row><row><field "
                                    L"name='id'>1</field></row><row><field name='id'>2</field></row></table></data>"),
               L"hvc_imp_part");
    EXPECT_EQ(scalar(*db, L"select group_concat(id order by id) from whole"), L"1,2");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].message.find(L"Duplicate entry"), std::wstring::npos) << cstr(errors[0].message);
    EXPECT_EQ(errors[0].where, L"MySQLDataImporter::endElement:318 Unable to import data row: INSERT INTO `whole`(`id`) VALUES ('1')");
}

// The manager path: a new login with its privileges, then the database created and loaded through it.
TEST_F(MySQLImport, ManagerCreatesTheLogin) {
    undo(L"DROP USER IF EXISTS 'hvc_imp_user'@'%'");
    undo(L"DROP DATABASE IF EXISTS hvc_imp_mgr");
    const std::wstring schema = document(
        L"schema.xml", L"<schema><table name='clients'><column name='pool_id' type='int(11)' null='NO' "
                       L"extra='auto_increment'/><index key_name='PRIMARY' column_name='pool_id' non_unique='0' "
                       L"Collation='A'/></table></schema>");
    const Lines& log = dbtest::LogCapture::start();
    importSchema(schema, L"hvc_imp_mgr", L"hvc_imp_user", L"Pw'imp\\1", s.login, s.password);
    EXPECT_NE(std::find(log.begin(), log.end(), L"SQL: SET SESSION old_passwords=0"), log.end());

    MySQLDatabaseProvider user;
    user.connect(s.host, L"hvc_imp_mgr", L"hvc_imp_user", L"Pw'imp\\1", s.port, L"");
    EXPECT_TRUE(user.tableExists(L"clients"));
    EXPECT_EQ(scalar(user, L"select id from ms_jet_counter"), L"1");
    std::wstring grants;
    RecordSetRef records(admin.query(L"SHOW GRANTS FOR 'hvc_imp_user'@'%'"));
    while (records->next()) grants += records->getValue(0, L"", false) + L"\n";
    for (const wchar_t* part : {L"SUPER", L"ON *.* TO `hvc_imp_user`@`%`", L"WITH GRANT OPTION", L"ON `master`.*"})
        EXPECT_NE(grants.find(part), std::wstring::npos) << cstr(part) << " in " << cstr(grants);
    EXPECT_EQ(dbtest::thrownText([&] { importSchema(schema, L"hvc_imp_mgr", L"hvc_imp_user", L"other", s.login, s.password); }),
              L"User hvc_imp_user already exists");
}
