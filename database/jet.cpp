#include "database/jet.h"

#include <windows.h>

#include <memory>

#include "database/adoxcatalog.h"
#include "database/import/documentcheck.h"
#include "database/import/jetimport.h"
#include "database/quotes.h"
#include "database/xmlexport.h"
#include "fs/filename.h"
#include "runtime/exceptions.h"
#include "runtime/owners.h"

namespace {

// Serialises the lookup of the temporary directory and the setting of TEMP/TMP.
CriticalSection temporaryDirectoryLock;

void requireLocal(const std::wstring& host, const char* function, unsigned line) {
    if (!host.empty() && host != L"localhost")
        throw vexception(L"Jet support only local databases", ErrorLocation(std::wstring(), function, line));
}

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

}  // namespace

std::wstring jetTemporaryDirectory() { return VFileName::combine(productAdminDir(), L"db"); }

std::wstring jetWorkgroupFile(const std::wstring& file) { return VFileName::removeExtension(file) + L".mdw"; }

bool findJetBackupSuffix(const std::wstring& file, std::wstring& suffix) {
    for (long n = 0; n < 0x7FFFFFFF; ++n) {
        std::wstring candidate = n == 0 ? std::wstring() : L"[" + std::to_wstring(n) + L"]";
        if (!exists(file + candidate + L".old") && !exists(file + candidate + L".oldmdw")) {
            suffix = candidate;
            return true;
        }
    }
    return false;
}

std::wstring JetDatabaseProvider::name() { return L"Jet"; }

std::wstring JetDatabaseProvider::connectionString(const std::wstring& host, const std::wstring& database) {
    requireLocal(host, "JetDatabaseProvider::connectionString", __LINE__);
    return L"Provider='Microsoft.Jet.OLEDB.4.0';Data Source=" + database;
}

void JetDatabaseProvider::connect(const std::wstring& host, const std::wstring& database, const std::wstring&,
                                  const std::wstring&, int port, const std::wstring& socket) {
    {
        CriticalSectionLock lock(temporaryDirectoryLock);
        std::wstring directory = jetTemporaryDirectory();
        for (const wchar_t* variable : {L"TEMP", L"TMP"})
            if (!SetEnvironmentVariableW(variable, directory.c_str()))
                throwOSError(L"Unable to set environment variable", GetLastError(),
                             VLOCATION("JetDatabaseProvider::connect"));
    }
    VADODatabaseProvider::connect(host, database, L"", L"", port, socket);
    connection().setProperty(L"Jet OLEDB:Transaction Commit Mode", 1);
    connection().setProperty(L"Jet OLEDB:Implicit Commit Sync", 1);
}

IDatabaseRecordSet* JetDatabaseProvider::query(const std::wstring& statement) {
    return VADODatabaseProvider::query(prepareJetStatement(statement));
}

void JetDatabaseProvider::execute(const std::wstring& statement) {
    VADODatabaseProvider::execute(prepareJetStatement(statement));
}

void JetDatabaseProvider::setIdentityInsert(const std::wstring&) {}
void JetDatabaseProvider::beginImplicitTransaction(const std::wstring&) {}
void JetDatabaseProvider::endImplicitTransaction() {}
void JetDatabaseProvider::setPassword(const std::wstring&, const std::wstring&) {}

uint64_t JetDatabaseProvider::nextCounter(const std::wstring&, const std::wstring&) {
    execute(L"insert into ms_jet_counter(val) values( 0 )");
    uint64_t id = lastInsertId();
    execute(L"delete from ms_jet_counter");
    return id;
}

bool JetDatabaseProvider::tableExists(const std::wstring& table) {
    return JetCatalog(jetCatalogConnectionString(connectedDatabase())).hasTable(table);
}

std::vector<std::wstring> JetDatabaseProvider::catalogTables() {
    return JetCatalog(jetCatalogConnectionString(connectedDatabase())).tables();
}

int JetDatabaseProvider::columnType(const std::wstring& table, const std::wstring& column) {
    return JetCatalog(jetCatalogConnectionString(connectedDatabase())).columnType(table, column);
}

void JetDatabaseProvider::exportData(ISAXContentHandler* handler) {
    for (const std::wstring& table : catalogTables()) writeTableData(*this, handler, table);
}

void JetDatabaseProvider::exportDataToNode(IXMLDOMNode* node) {
    for (const std::wstring& table : catalogTables()) exportTableToNode(node, table);
}

void JetDatabaseProvider::createDatabase(const std::wstring& host, const std::wstring& file) {
    requireLocal(host, "JetDatabaseProvider::CreateDatabase", __LINE__);
    std::wstring workgroup = jetWorkgroupFile(file);
    bool fileExists = exists(file), workgroupExists = exists(workgroup);
    std::wstring suffix;
    if ((fileExists || workgroupExists) && findJetBackupSuffix(file, suffix)) {
        if (fileExists && !MoveFileW(file.c_str(), (file + suffix + L".old").c_str()))
            throwOSError(L"Unable to move " + file, GetLastError(), VLOCATION("JetDatabaseProvider::CreateDatabase"));
        if (workgroupExists && !MoveFileW(workgroup.c_str(), (file + suffix + L".oldmdw").c_str()))
            throwOSError(L"Unable to move " + workgroup, GetLastError(),
                         VLOCATION("JetDatabaseProvider::CreateDatabase"));
    }
    JetCatalog::create(jetCatalogConnectionString(file));
}

void JetDatabaseProvider::ImportSchema(const std::wstring& document, const std::wstring& host,
                                       const std::wstring& database, const std::wstring& login,
                                       const std::wstring& password, int port, const std::wstring& socket,
                                       bool recreate, const std::wstring&, const std::wstring&) {
    requireLocal(host, "JetDatabaseProvider::ImportSchema", __LINE__);
    checkImportDocument(document, DocumentKind::Schema, VLOCATION("JetDatabaseProvider::ImportSchema"));
    if (recreate) createDatabase(host, database);
    connect(host, database, login, password, port, socket);
    JetSchemaImporter importer(*this, recreate);
    importer.parseURL(document);
    if (!recreate) execute(L"DROP TABLE [ms_jet_counter]");
    execute(L"create table ms_jet_counter(id counter(1,1), val int)");
    resetCounterTable(*this);
}

void JetDatabaseProvider::ImportData(const std::wstring& document, const std::wstring& host,
                                     const std::wstring& database, const std::wstring& login,
                                     const std::wstring& password, int port, const std::wstring& socket) {
    requireLocal(host, "JetDatabaseProvider::ImportData", __LINE__);
    checkImportDocument(document, DocumentKind::Data, VLOCATION("JetDatabaseProvider::ImportData"));
    connect(host, database, login, password, port, socket);
    JetDataImporter importer(*this, database,
                             [this](const std::wstring& table, const std::wstring& column) {
                                 return columnType(table, column);
                             });
    importer.parseURL(document);
    resetCounterTable(*this);
}
