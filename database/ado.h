// The base of the back ends that reach their server through ADO: the
// connection, the record set over an ADO recordset, and every provider
// operation that does not depend on the SQL dialect. Only ado.cpp and the
// catalogue code see ADO's own headers.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "database/provider.h"
#include "runtime/exceptions.h"
#include "runtime/secrets.h"
#include "runtime/owners.h"

struct _ADOConnection;

// ADODB.Connection, ADODB.Recordset and ADOX.Catalog with the classic
// interface ids that every ADO version answers (the import library has none of them).
extern const CLSID adoConnectionClass;
extern const IID adoConnectionInterface;
extern const CLSID adoRecordsetClass;
extern const IID adoRecordsetInterface;
extern const CLSID adoxCatalogClass;
extern const IID adoxCatalogInterface;

// Makes a started COM object of the class; the one way the ADO back ends
// create their objects. Production: CoCreateInstance in any server context,
// then OleRun.
using AdoObjectFactory = HRESULT (*)(const CLSID& classId, IUnknown** object);
// Installs another factory (null: production's) and returns the one before.
AdoObjectFactory setAdoObjectFactory(AdoObjectFactory factory);
// The object of the class, asked for the interface; failures as the HRESULT.
HRESULT createAdoObject(const CLSID& classId, const IID& interfaceId, void** object);

// Small pieces of every call into ADO and ADOX.
namespace adocall {
// A failed HRESULT as a ComError.
void check(HRESULT hr);
// A BSTR copy of the text; out of memory as a failure.
UniqueBstr bstr(const std::wstring& text);
// A VARIANT that borrows a string for the duration of one call.
struct BstrArgument {
    explicit BstrArgument(const std::wstring& text);
    VARIANT value;

private:
    UniqueBstr text_;
};
}  // namespace adocall

// The owning reference to one ADO connection.
class VADOConnection {
public:
    VADOConnection();
    ~VADOConnection();
    VADOConnection(const VADOConnection&) = delete;
    VADOConnection& operator=(const VADOConnection&) = delete;

    // Opens a new connection (an existing one is released first). A COM
    // failure becomes a vexception with the connection's error text.
    void open(const std::wstring& connectionString, const std::wstring& login, const std::wstring& password,
              long options = -1, long cursorLocation = 3);
    void close();
    bool held() const { return static_cast<bool>(connection_); }
    // Held and its State is not closed.
    bool isOpen();
    // Descriptions of the Errors collection joined by one blank.
    std::wstring lastError();
    // Sets a dynamic property of the connection to an integer.
    void setProperty(const std::wstring& name, long value);
    // The held connection; ComError E_POINTER when there is none.
    _ADOConnection* get() const;

    // Execute without records (adExecuteNoRecords); the recordset that
    // comes back is released at once.
    void execute(const std::wstring& statement);
    // A static client-side recordset on the statement, with a count of 0.
    IDatabaseRecordSet* openRecordSet(const std::wstring& statement);
    void beginTrans();
    void commitTrans();
    void rollbackTrans();

private:
    ComPtr<_ADOConnection> connection_;
};

class VADODatabaseProvider : public IDatabaseProvider {
public:
    VADODatabaseProvider();
    ~VADODatabaseProvider() override;
    VADODatabaseProvider(const VADODatabaseProvider&) = delete;
    VADODatabaseProvider& operator=(const VADODatabaseProvider&) = delete;

    // Port and socket are not used by ADO.
    void connect(const std::wstring& host, const std::wstring& database, const std::wstring& login,
                 const std::wstring& password, int port, const std::wstring& socket) override;
    bool isConnected() override;
    bool ping() override;
    void disconnect() override;
    std::wstring version() override;
    std::wstring escape(const std::wstring& text) override;
    void useDatabase(const std::wstring& database) override;
    // The statement as given: the back ends translate before they call these.
    IDatabaseRecordSet* query(const std::wstring& statement) override;
    void execute(const std::wstring& statement) override;
    void replace(const std::wstring& deleteStatement, const std::wstring& insertStatement) override;
    uint64_t lastInsertId() override;
    void beginTransaction() override;
    void commit() override;
    void rollback() override;
    int transactionDepth() override;
    std::wstring lastError() override;

    // The OLE DB connection string of the back end.
    virtual std::wstring connectionString(const std::wstring& host, const std::wstring& database) = 0;

protected:
    VADOConnection& connection() { return connection_; }
    const std::wstring& connectedDatabase() const { return database_; }

private:
    VADOConnection connection_;
    int32_t transactionDepth_ = 0;
    std::wstring login_;
    std::wstring database_;
    std::wstring host_;
    SecretText password_;
};

// The ADO data type (DataTypeEnum) of a column of a record set made by an
// ADO back end; a vexception for any other record set.
int adoColumnType(IDatabaseRecordSet& records, unsigned column);

// Logs a failure that a connection step ignores (ADO's headers and the
// logger's cannot meet in one source file).
void logIgnoredAdoFailure(const vexception& failure);

// The first column of the first row as a signed decimal: 0 without a row,
// for NULL or empty text.
long long firstValueAsNumber(IDatabaseProvider& provider, const std::wstring& statement);
