#include "database/mssql.h"

#include <windows.h>

#include <memory>

#include "database/import/mssqlimport.h"
#include "database/quotes.h"
#include "database/xmlexport.h"
#include "runtime/catchpoint.h"
#include "runtime/exceptions.h"
#include "runtime/log.h"
#include "runtime/registry.h"
#include "runtime/secrets.h"
#include "runtime/text.h"

namespace {

const wchar_t* const superSocketKey = L"SOFTWARE\\Microsoft\\MSSQLServer\\MSSQLServer\\SuperSocketNetLib";

const wchar_t* const tableListStatement =
    L"SELECT TABLE_NAME FROM INFORMATION_SCHEMA.TABLES WHERE TABLE_SCHEMA = 'dbo'and TABLE_TYPE = 'BASE TABLE' "
    L"and NOT TABLE_NAME = 'dtproperties'";

// Text between single quotes of a statement that goes out untranslated.
std::wstring quoted(const std::wstring& text) {
    std::wstring result;
    for (wchar_t c : text) result += c == L'\'' ? L"''" : std::wstring(1, c);
    return result;
}

// A name between brackets.
std::wstring bracketed(const std::wstring& name) {
    std::wstring result;
    for (wchar_t c : name) result += c == L']' ? L"]]" : std::wstring(1, c);
    return result;
}

}  // namespace

std::wstring networkLibraryFor(const std::wstring& host, const std::vector<std::wstring>& protocols) {
    if (_wcsicmp(host.c_str(), L"localhost") != 0 && _wcsicmp(host.c_str(), L"127.0.0.1") != 0)
        return std::wstring();
    for (const std::wstring& protocol : protocols) {
        if (protocol == L"sm") return L"dbmsrpcn";
        if (protocol == L"np") return L"dbnmpntw";
    }
    return std::wstring();
}

std::wstring selectNetworkLibrary(const std::wstring& host) {
    if (networkLibraryFor(host, {L"sm"}).empty()) return std::wstring();
    if (!registry::keyExists(HKEY_LOCAL_MACHINE, superSocketKey)) return std::wstring();
    std::vector<std::wstring> protocols;
    registry::lookup(HKEY_LOCAL_MACHINE, superSocketKey, L"ProtocolList", protocols);
    return networkLibraryFor(host, protocols);
}

std::wstring MSSQLDatabaseProvider::name() { return L"MSSQL"; }

std::wstring MSSQLDatabaseProvider::connectionString(const std::wstring& host, const std::wstring& database) {
    std::wstring text = L"Provider=SQLOLEDB.1;Initial Catalog=" + (database.empty() ? std::wstring(L"master") : database) +
                        L";Data Source=" + host;
    if (!networkLibrary_.empty()) text += L";Network Library=" + networkLibrary_;
    return text;
}

void MSSQLDatabaseProvider::connect(const std::wstring& host, const std::wstring& database,
                                    const std::wstring& login, const std::wstring& password, int,
                                    const std::wstring&) {
    networkLibrary_ = selectNetworkLibrary(host);
    bool connected = false;
    if (!networkLibrary_.empty()) {
        try {
            VADODatabaseProvider::connect(host, database, login, password, 0, L"");
            connected = true;
        } catch (const vexception&) {
            // The library may not be enabled on the server: try the default one.
            networkLibrary_.clear();
        }
    }
    if (!connected) VADODatabaseProvider::connect(host, database, login, password, 0, L"");
    execute(L"SET DATEFORMAT ymd");
    execute(L"SET TRANSACTION ISOLATION LEVEL READ UNCOMMITTED");
}

IDatabaseRecordSet* MSSQLDatabaseProvider::query(const std::wstring& statement) {
    return VADODatabaseProvider::query(prepareMSSQLStatement(statement));
}

void MSSQLDatabaseProvider::execute(const std::wstring& statement) {
    VADODatabaseProvider::execute(prepareMSSQLStatement(statement));
}

void MSSQLDatabaseProvider::setIdentityInsert(const std::wstring& table) {
    if (!identityInsertTable_.empty()) {
        execute(format(L"set IDENTITY_INSERT [%ls] OFF", identityInsertTable_.c_str()));
        identityInsertTable_.clear();
    }
    if (!table.empty()) {
        execute(format(L"set IDENTITY_INSERT [%ls] ON", table.c_str()));
        identityInsertTable_ = table;
    }
}

void MSSQLDatabaseProvider::beginImplicitTransaction(const std::wstring&) {
    if (transactionDepth() != 0) return;
    implicitTransaction_ = true;
    beginTransaction();
}

void MSSQLDatabaseProvider::endImplicitTransaction() {
    if (!implicitTransaction_) return;
    implicitTransaction_ = false;
    commit();
}

uint64_t MSSQLDatabaseProvider::nextCounter(const std::wstring& table, const std::wstring& field) {
    return static_cast<uint64_t>(
        firstValueAsNumber(*this, L"select max([" + field + L"]) from [" + table + L"] with (TABLOCK)") + 1);
}

bool MSSQLDatabaseProvider::tableExists(const std::wstring& table) {
    RecordSetRef records(query(L"SELECT TABLE_NAME FROM INFORMATION_SCHEMA.TABLES WHERE TABLE_SCHEMA = 'dbo'and "
                               L"TABLE_TYPE = 'BASE TABLE' and TABLE_NAME = '" +
                               escape(table) + L"' "));
    return records->next();
}

void MSSQLDatabaseProvider::setPassword(const std::wstring& newPassword, const std::wstring& oldPassword) {
    const SecretText escapedOld = escape(oldPassword), escapedNew = escape(newPassword);
    withSecrets({oldPassword, newPassword, escapedOld, escapedNew}, [&] {
        const SecretText statement = format(L"SP_PASSWORD '%ls', '%ls'", escapedOld.c_str(), escapedNew.c_str());
        execute(statement);
    });
}

std::vector<std::wstring> MSSQLDatabaseProvider::tableList() {
    std::vector<std::wstring> tables;
    RecordSetRef records(query(tableListStatement));
    while (records->next()) tables.push_back(records->getValue(0, L"", false));
    return tables;
}

void MSSQLDatabaseProvider::exportData(ISAXContentHandler* handler) {
    for (const std::wstring& table : tableList()) writeTableData(*this, handler, table);
}

void MSSQLDatabaseProvider::exportDataToNode(IXMLDOMNode* node) {
    for (const std::wstring& table : tableList()) exportTableToNode(node, table);
}

bool MSSQLDatabaseProvider::loginExists(const std::wstring& name) {
    const wchar_t* n = name.c_str();
    RecordSetRef records(query(format(
        L"if exists (select * from master.dbo.sysobjects with (NOLOCK) where type='V' and name = "
        L"'database_principals')\n(SELECT name FROM master.sys.server_principals WHERE name='%ls')\nUNION\n(SELECT "
        L"name FROM master.sys.database_principals WHERE name='%ls')\nELSE\n(SELECT name FROM master.dbo.syslogins "
        L"WHERE name='%ls')\nUNION\n(SELECT name FROM master.dbo.sysusers WHERE name='%ls')\n",
        n, n, n, n)));
    return records->next();
}

void MSSQLServerManager::addUser(MSSQLDatabaseProvider& manager, const std::wstring& database,
                                 const std::wstring& login, const std::wstring& password) {
    // These statements skip the quote translation: every value is escaped
    // here, so a quote in the password cannot end its literal.
    const std::wstring dbName = bracketed(database), loginText = quoted(login);
    const wchar_t* d = dbName.c_str();
    const wchar_t* l = loginText.c_str();
    const SecretText passwordText = quoted(password);
    withSecrets({password, passwordText}, [&] {
        const SecretText addLogin = format(L"exec master.dbo.sp_addlogin '%ls', N'%ls', [%ls]", l, passwordText.c_str(), d);
        manager.VADODatabaseProvider::execute(addLogin);
    });
    manager.VADODatabaseProvider::execute(format(L"exec [%ls].dbo.sp_grantdbaccess '%ls'", d, l));
    manager.VADODatabaseProvider::execute(format(L"exec [%ls].dbo.sp_addrolemember 'db_owner', '%ls'", d, l));
    try {
        manager.VADODatabaseProvider::execute(
            format(L"USE %ls;DENY ALTER ANY DATABASE DDL TRIGGER TO [%ls]", d, bracketed(login).c_str()));
    } catch (const ThreadCancelation::ThreadCanceledException&) {
        throw;
    } catch (...) {
        // Older servers know no DDL triggers; the login works without the denial.
        LogManager::instance().log(
            Warning, currentAsVException(L"Deny DDL trigger permission", "MSSQLServerManager::addUser", __LINE__));
    }
}

void MSSQLDatabaseProvider::ImportSchema(const std::wstring& document, const std::wstring& host,
                                         const std::wstring& database, const std::wstring& login,
                                         const std::wstring& password, int port, const std::wstring& socket,
                                         bool recreate, const std::wstring& managerLogin,
                                         const std::wstring& managerPassword) {
    logMessage(Info, L"MSSQLDatabaseProvider::ImportSchema");
    if (!managerLogin.empty()) {
        logMessage(Info, L"MSSQLDatabaseProvider::ImportSchema connecting manager user %ls %ls %ls", host.c_str(),
                   database.c_str(), managerLogin.c_str());
        std::unique_ptr<MSSQLDatabaseProvider> manager(new MSSQLDatabaseProvider());
        manager->connect(host, L"", managerLogin, managerPassword, port, socket);
        if (manager->loginExists(login))
            throw vexception(format(L"User %ls already exists", login.c_str()),
                             VLOCATION("MSSQLDatabaseProvider::ImportSchema"));
        logMessage(Info, L"MSSQLDatabaseProvider::ImportSchema creating user");
        MSSQLServerManager::addUser(*manager, L"master", login, password);
        manager->execute(format(L"EXEC [master].dbo.sp_addsrvrolemember '%ls', 'dbcreator'", login.c_str()));
    }
    logMessage(Info, L"MSSQLDatabaseProvider::ImportSchema connecting to server");
    connect(host, L"master", login, password, port, socket);
    if (recreate) {
        RecordSetRef records(query(L"select DB_ID('" + database + L"')"));
        if (records->next() && !records->isNull(0, false))
            throw vexception(L"HVC database already exists", VLOCATION("MSSQLDatabaseProvider::ImportSchema"));
        execute(L"CREATE DATABASE [" + database + L"] collate Latin1_General_CI_AS");
    }
    execute(L"USE [" + database + L"]");
    MSSQLSchemaImporter importer(*this, recreate);
    importer.parseURL(document);
    if (!recreate) execute(L"DROP TABLE [ms_jet_counter]");
    execute(L"create table ms_jet_counter(id int IDENTITY(1,1) NOT NULL, val int)");
    resetCounterTable(*this);
}

void MSSQLDatabaseProvider::ImportData(const std::wstring& document, const std::wstring& host,
                                       const std::wstring& database, const std::wstring& login,
                                       const std::wstring& password, int port, const std::wstring& socket) {
    connect(host, L"master", login, password, port, socket);
    execute(L"USE [" + database + L"]");
    MSSQLDataImporter importer(*this, database);
    importer.parseURL(document);
    resetCounterTable(*this);
}
