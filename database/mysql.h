// The MySQL back end on the MariaDB/MySQL client library. Statements and
// values travel as UTF-8; connection arguments in the ANSI code page.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "database/provider.h"
#include "runtime/exceptions.h"
#include "runtime/owners.h"

struct st_mysql;
struct st_mysql_res;

void closeMysql(st_mysql* connection);
void freeMysqlResult(st_mysql_res* result);
using UniqueMysql = UniqueAny<st_mysql*, &closeMysql>;
using UniqueMysqlResult = UniqueAny<st_mysql_res*, &freeMysqlResult>;

// Compares dotted version texts number by number ("5.0.51" > "4.1" == "4.1" > "4"):
// -1, 0 or 1. Only the leading digits of each piece count, so a suffix such
// as "-MariaDB-log" is ignored.
int compareVersions(const std::wstring& a, const std::wstring& b);

// A stored (fully fetched) result.
class VMySQLRecordSet final : public IDatabaseRecordSet {
public:
    // connection: for a result read row by row from the server (its fetch
    // errors are raised); null for a stored result.
    explicit VMySQLRecordSet(UniqueMysqlResult result, st_mysql* connection = nullptr);
    VMySQLRecordSet(const VMySQLRecordSet&) = delete;
    VMySQLRecordSet& operator=(const VMySQLRecordSet&) = delete;

    bool next() override;
    bool moveFirst() override;
    bool moveLast() override;
    unsigned fieldCount() override;
    int fieldIndex(const std::wstring& name) override;
    std::wstring fieldName(unsigned column) override;
    bool isNull(unsigned column, bool emptyIsNull) override;
    bool isEmpty(unsigned column, bool valueIfNull) override;
    bool tryGetValue(unsigned column, std::wstring& value, bool emptyIsNull) override;
    uint64_t rowCount() override;
    void addRef() override;
    void release() override;

    // How a column's values travel in a document: as text; as bytes that may
    // read as text (binary strings); as bytes only (BIT, spatial values).
    enum class ColumnKind { Text, Binary, Bytes };
    ColumnKind columnKind(unsigned column);
    // The current row's value as the server sent it; false for NULL.
    bool rawValue(unsigned column, std::string& bytes);

private:
    ~VMySQLRecordSet();
    // The current row's cell; throws when there is no current row or no such column.
    const char* cell(unsigned column, unsigned long& length);

    std::map<std::wstring, int> columns_;
    UniqueMysqlResult result_;
    st_mysql* streaming_;
    int32_t references_ = 0;
    char** row_ = nullptr;
    unsigned long* lengths_ = nullptr;
};

// Called as an import finishes a table: its name and the rows inserted and
// refused (the schema import: the columns, and 0).
using ImportProgress = std::function<void(const std::wstring& table, unsigned long long count,
                                          unsigned long long refused)>;

// A login with the data privileges on one database, through the provider's
// connection (which needs the right to create accounts); an empty host means
// any host. Every statement is logged as "SQL: %s" first.
void createMySQLUser(IDatabaseProvider& provider, const std::wstring& database, const std::wstring& login,
                     const std::wstring& password, const std::wstring& host);

class MySQLDatabaseProvider : public IDatabaseProvider {
public:
    MySQLDatabaseProvider() = default;
    ~MySQLDatabaseProvider() override;
    MySQLDatabaseProvider(const MySQLDatabaseProvider&) = delete;
    MySQLDatabaseProvider& operator=(const MySQLDatabaseProvider&) = delete;

    void connect(const std::wstring& host, const std::wstring& database, const std::wstring& login,
                 const std::wstring& password, int port, const std::wstring& socket) override;
    bool isConnected() override;
    bool ping() override;
    void disconnect() override;
    std::wstring version() override;
    std::wstring name() override;
    std::wstring escape(const std::wstring& text) override;
    void useDatabase(const std::wstring& database) override;
    IDatabaseRecordSet* query(const std::wstring& statement) override;
    // Like query, but the rows come from the server as next() asks for them;
    // no other statement may run on the connection until the record set is gone.
    virtual IDatabaseRecordSet* queryStreaming(const std::wstring& statement);
    void execute(const std::wstring& statement) override;
    void replace(const std::wstring& deleteStatement, const std::wstring& insertStatement) override;
    void setIdentityInsert(const std::wstring& table) override;
    uint64_t lastInsertId() override;
    void beginTransaction() override;
    void commit() override;
    void rollback() override;
    void beginImplicitTransaction(const std::wstring& table) override;
    void endImplicitTransaction() override;
    uint64_t nextCounter(const std::wstring& table, const std::wstring& field) override;
    bool tableExists(const std::wstring& table) override;
    int transactionDepth() override;
    std::wstring lastError() override;
    void setPassword(const std::wstring& newPassword, const std::wstring& oldPassword) override;
    void exportData(ISAXContentHandler* handler) override;
    void exportDataToNode(IXMLDOMNode* node) override;
    void ImportSchema(const std::wstring& document, const std::wstring& host, const std::wstring& database,
                      const std::wstring& login, const std::wstring& password, int port, const std::wstring& socket,
                      bool recreate, const std::wstring& managerLogin, const std::wstring& managerPassword) override;
    void ImportData(const std::wstring& document, const std::wstring& host, const std::wstring& database,
                    const std::wstring& login, const std::wstring& password, int port,
                    const std::wstring& socket) override;
    void setReconnectHandler(IDatabaseReconnectHandler* handler) override;

    // Not part of the shared interface: reports each table the imports finish.
    void setImportProgress(ImportProgress progress) { importProgress_ = std::move(progress); }

private:
    // The connection, or a vexception at the caller's location when there is none.
    st_mysql* handle(ErrorLocation location);
    // Sends the statement, retrying once through the reconnect handler when
    // the server connection was lost. False only on failure without retry;
    // the error code is then left in code.
    bool send(const std::string& utf8, const wchar_t* reconnectText, unsigned& code, const ErrorLocation& location);
    UniqueMysqlResult openResult(const std::wstring& statement, bool streaming, const ErrorLocation& location);

    IDatabaseReconnectHandler* reconnectHandler_ = nullptr;
    UniqueMysql connection_;
    int32_t transactionDepth_ = 0;
    ImportProgress importProgress_;
};
