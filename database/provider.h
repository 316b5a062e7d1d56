// The database back end and query result as every caller sees them. All
// text crossing these interfaces is wide; each back end converts at its own
// edge.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

class IDatabaseProvider;
struct ISAXContentHandler;
struct IXMLDOMNode;

// Supplied by a caller that can restore a lost server connection; the
// provider keeps a non-owning pointer. Nothing inside the library installs one.
class IDatabaseReconnectHandler {
public:
    virtual ~IDatabaseReconnectHandler() = default;
    // Called with the provider whose connection was lost; on return the
    // provider must be connected again (or the retried statement fails).
    virtual void reconnect(IDatabaseProvider& provider) = 0;
};

// Cursor over the rows of one query. Intrusively counted: created with a
// count of 0, every holder calls addRef when it takes the pointer and release
// when it lets go; the release that reaches 0 destroys it.
// Keep the virtual order: modules built separately share this layout.
class IDatabaseRecordSet {
public:
    // Fetches the next row; the first call fetches the first row.
    virtual bool next() = 0;
    // Positions so that the following next() yields the first (last) row;
    // the result says whether a row can follow.
    virtual bool moveFirst() = 0;
    virtual bool moveLast() = 0;
    virtual unsigned fieldCount() = 0;
    // -1 when no column has that name.
    virtual int fieldIndex(const std::wstring& name) = 0;
    virtual bool hasField(const std::wstring& name);
    virtual std::wstring fieldName(unsigned column) = 0;
    // SQL NULL, or empty while emptyIsNull is set.
    virtual bool isNull(unsigned column, bool emptyIsNull) = 0;
    // The value is the empty string; valueIfNull for a NULL value.
    virtual bool isEmpty(unsigned column, bool valueIfNull) = 0;
    // tryGetValue's value, or defaultValue when it yields nothing.
    virtual std::wstring getValue(unsigned column, const std::wstring& defaultValue, bool emptyIsNull);
    // False when isNull(column, emptyIsNull); else stores the value.
    virtual bool tryGetValue(unsigned column, std::wstring& value, bool emptyIsNull) = 0;
    virtual uint64_t rowCount() = 0;
    virtual void addRef() = 0;
    virtual void release() = 0;

protected:
    // Only release() destroys a record set.
    ~IDatabaseRecordSet() = default;
};

// Holds one reference on a record set for a scope.
class RecordSetRef {
public:
    explicit RecordSetRef(IDatabaseRecordSet* records = nullptr) : records_(records) {
        if (records_) records_->addRef();
    }
    RecordSetRef(const RecordSetRef& other) : RecordSetRef(other.records_) {}
    RecordSetRef& operator=(RecordSetRef other) noexcept {
        std::swap(records_, other.records_);
        return *this;
    }
    ~RecordSetRef() {
        if (records_) records_->release();
    }
    IDatabaseRecordSet* operator->() const { return records_; }
    IDatabaseRecordSet* get() const { return records_; }

private:
    IDatabaseRecordSet* records_;
};

// One database back end. Providers are owned by whoever called Create.
// Keep the virtual order: modules built separately share this layout.
class IDatabaseProvider {
public:
    // Disconnects first where the back end says so.
    virtual ~IDatabaseProvider() = default;
    // An empty database or socket means none.
    virtual void connect(const std::wstring& host, const std::wstring& database, const std::wstring& login,
                         const std::wstring& password, int port, const std::wstring& socket) = 0;
    virtual bool isConnected() = 0;
    virtual bool ping() = 0;
    virtual void disconnect() = 0;
    virtual std::wstring version() = 0;
    // "MySQL", "MSSQL" or "Jet".
    virtual std::wstring name() = 0;
    // Text made safe to stand between single quotes.
    virtual std::wstring escape(const std::wstring& text) = 0;
    virtual void useDatabase(const std::wstring& database) = 0;
    // A statement that returns rows; the record set comes with a count of 0.
    virtual IDatabaseRecordSet* query(const std::wstring& statement) = 0;
    virtual void execute(const std::wstring& statement) = 0;
    virtual void replace(const std::wstring& deleteStatement, const std::wstring& insertStatement) = 0;
    virtual void setIdentityInsert(const std::wstring& table) = 0;
    virtual uint64_t lastInsertId() = 0;
    // Every begin sends its own start statement; the depth only counts.
    virtual void beginTransaction() = 0;
    virtual void commit() = 0;
    virtual void rollback() = 0;
    virtual void beginImplicitTransaction(const std::wstring& table) = 0;
    virtual void endImplicitTransaction() = 0;
    // A new unique number for a counter column.
    virtual uint64_t nextCounter(const std::wstring& table, const std::wstring& field) = 0;
    virtual bool tableExists(const std::wstring& table) = 0;
    virtual int transactionDepth() = 0;
    virtual std::wstring lastError() = 0;
    // Changes the password of the connection's login.
    virtual void setPassword(const std::wstring& newPassword, const std::wstring& oldPassword) = 0;
    // The rows of every table of the current database as "table"/"row"/"field"
    // events; the caller frames the document.
    virtual void exportData(ISAXContentHandler* handler) = 0;
    // exportTableToNode for every table of the current database.
    virtual void exportDataToNode(IXMLDOMNode* node) = 0;
    // Appends the table's rows under the node as elements (shared by all back ends).
    virtual void exportTableToNode(IXMLDOMNode* node, const std::wstring& table);
    // Connects (creating the login and the database where the back end does),
    // loads the schema document and resets the counter table. An empty
    // manager login creates no login.
    virtual void ImportSchema(const std::wstring& document, const std::wstring& host, const std::wstring& database,
                              const std::wstring& login, const std::wstring& password, int port,
                              const std::wstring& socket, bool recreate, const std::wstring& managerLogin,
                              const std::wstring& managerPassword) = 0;
    // Connects, loads the data document and resets the counter table.
    virtual void ImportData(const std::wstring& document, const std::wstring& host, const std::wstring& database,
                            const std::wstring& login, const std::wstring& password, int port,
                            const std::wstring& socket) = 0;
    // Back ends that cannot reconnect ignore the handler.
    virtual void setReconnectHandler(IDatabaseReconnectHandler* handler);

    // "MySQL" or "" (MySQL), "MSSQL", "Jet"; exact case. Null when the
    // allocation fails; an unknown name throws. The provider is not connected.
    static IDatabaseProvider* Create(const std::wstring& name);
};

// The counter table that emulates a database-wide counter.
extern const wchar_t* const counterTableName;
extern const wchar_t* const counterTableCreate;

// After an import: the counter table holds one row whose id lies above every
// id of the panel's counted tables. Tables that are missing are skipped.
void resetCounterTable(IDatabaseProvider& provider);
