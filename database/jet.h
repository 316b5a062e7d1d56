// The back end for a Microsoft Jet database file through
// "Microsoft.Jet.OLEDB.4.0". Statements arrive in the MySQL dialect and
// have their quoting translated.
#pragma once

#include <string>
#include <vector>

#include "database/ado.h"

// The stem of the backup names of a database file that is about to be
// replaced: "" for the first free slot, then "[1]", "[2]" ... A slot is
// free when neither file + suffix + ".old" nor file + suffix + ".oldmdw"
// exists. False when every slot is taken.
bool findJetBackupSuffix(const std::wstring& file, std::wstring& suffix);

// The workgroup file that belongs to a database file: its extension replaced by ".mdw".
std::wstring jetWorkgroupFile(const std::wstring& file);

class JetDatabaseProvider : public VADODatabaseProvider {
public:
    JetDatabaseProvider() = default;

    // The database is the path of the file; login and password are not passed to Jet.
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

    // Moves an existing file and its workgroup file to backup names and
    // creates an empty database file.
    void createDatabase(const std::wstring& host, const std::wstring& file);
    // The ADO data type of a column, from the catalogue of the connected file.
    int columnType(const std::wstring& table, const std::wstring& column);

private:
    std::vector<std::wstring> catalogTables();
};

// The directory Jet keeps its temporary files in: the product's admin\db.
std::wstring jetTemporaryDirectory();
