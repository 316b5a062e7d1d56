// The back end for Microsoft SQL Server through "SQLOLEDB.1". Statements
// arrive in the MySQL dialect and have their quoting translated; text
// literals become Unicode literals.
#pragma once

#include <string>
#include <vector>

#include "database/ado.h"

// The client network library for a server: "dbmsrpcn" (shared memory) or
// "dbnmpntw" (named pipes), whichever of "sm" and "np" comes first in the
// protocol list; empty for a remote host or without either entry.
std::wstring networkLibraryFor(const std::wstring& host, const std::vector<std::wstring>& protocols);
// networkLibraryFor with the local server's "ProtocolList" from the registry.
std::wstring selectNetworkLibrary(const std::wstring& host);

class MSSQLDatabaseProvider : public VADODatabaseProvider {
public:
    MSSQLDatabaseProvider() = default;

    // Port and socket are not used.
    void connect(const std::wstring& host, const std::wstring& database, const std::wstring& login,
                 const std::wstring& password, int port, const std::wstring& socket) override;
    std::wstring name() override;
    IDatabaseRecordSet* query(const std::wstring& statement) override;
    void execute(const std::wstring& statement) override;
    void setIdentityInsert(const std::wstring& table) override;
    void beginImplicitTransaction(const std::wstring& table) override;
    void endImplicitTransaction() override;
    uint64_t nextCounter(const std::wstring& table, const std::wstring& field) override;
    bool tableExists(const std::wstring& table) override;
    void setPassword(const std::wstring& newPassword, const std::wstring& oldPassword) override;
    void exportData(ISAXContentHandler* handler) override;
    void exportDataToNode(IXMLDOMNode* node) override;
    void ImportSchema(const std::wstring& document, const std::wstring& host, const std::wstring& database,
                      const std::wstring& login, const std::wstring& password, int port, const std::wstring& socket,
                      bool recreate, const std::wstring& managerLogin, const std::wstring& managerPassword) override;
    void ImportData(const std::wstring& document, const std::wstring& host, const std::wstring& database,
                    const std::wstring& login, const std::wstring& password, int port,
                    const std::wstring& socket) override;
    std::wstring connectionString(const std::wstring& host, const std::wstring& database) override;

    // On a provider connected as the manager: whether a login or user of that name exists.
    bool loginExists(const std::wstring& name);

private:
    std::vector<std::wstring> tableList();

    std::wstring identityInsertTable_;
    bool implicitTransaction_ = false;
    std::wstring networkLibrary_;
};

// Creation of logins on a server, through a provider connected as the manager.
namespace MSSQLServerManager {
// sp_addlogin, sp_grantdbaccess, sp_addrolemember db_owner, and the DDL
// trigger denial (whose failure is only logged); sent untranslated.
void addUser(MSSQLDatabaseProvider& manager, const std::wstring& database, const std::wstring& login,
             const std::wstring& password);
}  // namespace MSSQLServerManager
