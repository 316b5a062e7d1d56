#include "database/mysql.h"

#include <windows.h>

#include <mysql.h>  // the client library's header, not this back end's

#include <cwchar>
#include <memory>
#include <vector>

#include "database/connparams.h"
#include "database/import/documentcheck.h"
#include "database/import/mysqlimport.h"
#include "database/mysqlaccounts.h"
#include "database/quotes.h"
#include "database/xmlexport.h"
#include "runtime/cancellation.h"
#include "runtime/exceptions.h"
#include "runtime/log.h"
#include "runtime/secrets.h"
#include "runtime/sysobjects.h"
#include "runtime/text.h"

namespace {

const unsigned serverGoneError = 2006;  // CR_SERVER_GONE_ERROR
const unsigned serverLost = 2013;       // CR_SERVER_LOST
const unsigned connectTimeoutSeconds = 60;

std::wstring fromUtf8(const char* text, size_t length) { return wstr(std::string(text, length), CP_UTF8); }

unsigned long long leadingNumber(const std::wstring& text, size_t& position) {
    unsigned long long value = 0;
    while (position < text.size() && text[position] >= L'0' && text[position] <= L'9') {
        // Absurdly long digit runs saturate instead of wrapping.
        if (value < 1000000000000000000ull) value = value * 10 + static_cast<unsigned>(text[position] - L'0');
        ++position;
    }
    return value;
}

// A statement may leave further results (stored procedures); they must be
// read before the connection accepts the next command.
void discardPendingResults(MYSQL* mysql) {
    while (mysql_more_results(mysql) && mysql_next_result(mysql) == 0) {
        UniqueMysqlResult extra(mysql_store_result(mysql));
    }
}

std::wstring errorText(MYSQL* mysql) {
    const char* text = mysql_error(mysql);
    return text ? wstr(text, CP_UTF8) : std::wstring();
}

}  // namespace

void closeMysql(MYSQL* connection) { mysql_close(connection); }
void freeMysqlResult(MYSQL_RES* result) { mysql_free_result(result); }

int compareVersions(const std::wstring& a, const std::wstring& b) {
    size_t i = 0, j = 0;
    for (;;) {
        unsigned long long x = leadingNumber(a, i), y = leadingNumber(b, j);
        if (x != y) return x < y ? -1 : 1;
        bool aGoesOn = i < a.size() && a[i] == L'.';
        bool bGoesOn = j < b.size() && b[j] == L'.';
        if (!aGoesOn && !bGoesOn) return 0;
        if (!aGoesOn) return -1;
        if (!bGoesOn) return 1;
        ++i;
        ++j;
    }
}

// ---------------------------------------------------------------- record set

VMySQLRecordSet::VMySQLRecordSet(UniqueMysqlResult result, MYSQL* connection)
    : result_(std::move(result)), streaming_(connection) {
    unsigned count = mysql_num_fields(result_.get());
    for (unsigned i = 0; i < count; ++i) {
        MYSQL_FIELD* field = mysql_fetch_field_direct(result_.get(), i);
        // A later column of the same name replaces an earlier one.
        columns_[fromUtf8(field->name, field->name_length)] = static_cast<int>(i);
    }
}

VMySQLRecordSet::~VMySQLRecordSet() = default;

bool VMySQLRecordSet::next() {
    row_ = mysql_fetch_row(result_.get());
    lengths_ = row_ ? mysql_fetch_lengths(result_.get()) : nullptr;
    // A streamed result also ends when the transfer fails: that is no end of the rows.
    if (!row_ && streaming_ && mysql_errno(streaming_) != 0)
        throw vexception(L"Can't fetch rows: MySql error " + std::to_wstring(mysql_errno(streaming_)) + L":" +
                             errorText(streaming_),
                         VLOCATION("VMySQLRecordSet::next"));
    return row_ != nullptr;
}

// The client library marks every stored result as at its end, so its eof
// flag cannot tell whether a row follows; the row count can.
bool VMySQLRecordSet::moveFirst() {
    mysql_data_seek(result_.get(), 0);
    row_ = nullptr;
    return rowCount() > 0;
}

bool VMySQLRecordSet::moveLast() {
    uint64_t rows = rowCount();
    if (rows > 0) mysql_data_seek(result_.get(), rows - 1);
    row_ = nullptr;
    return rows > 0;
}

unsigned VMySQLRecordSet::fieldCount() { return mysql_num_fields(result_.get()); }

int VMySQLRecordSet::fieldIndex(const std::wstring& name) {
    auto found = columns_.find(name);
    return found == columns_.end() ? -1 : found->second;
}

std::wstring VMySQLRecordSet::fieldName(unsigned column) {
    if (column >= fieldCount())
        throw vexception(format(L"Column %u out of range", column), VLOCATION("VMySQLRecordSet::fieldName"));
    MYSQL_FIELD* field = mysql_fetch_field_direct(result_.get(), column);
    return fromUtf8(field->name, field->name_length);
}

const char* VMySQLRecordSet::cell(unsigned column, unsigned long& length) {
    if (!row_) throw vexception(L"No current row in the record set", VLOCATION("VMySQLRecordSet::cell"));
    if (column >= fieldCount())
        throw vexception(format(L"Column %u out of range", column), VLOCATION("VMySQLRecordSet::cell"));
    length = lengths_[column];
    return row_[column];
}

bool VMySQLRecordSet::isNull(unsigned column, bool emptyIsNull) {
    unsigned long length = 0;
    const char* value = cell(column, length);
    return !value || (emptyIsNull && length == 0);
}

bool VMySQLRecordSet::isEmpty(unsigned column, bool valueIfNull) {
    unsigned long length = 0;
    const char* value = cell(column, length);
    return value ? length == 0 : valueIfNull;
}

bool VMySQLRecordSet::tryGetValue(unsigned column, std::wstring& value, bool emptyIsNull) {
    if (isNull(column, emptyIsNull)) return false;
    unsigned long length = 0;
    const char* text = cell(column, length);
    value = fromUtf8(text, length);
    return true;
}

VMySQLRecordSet::ColumnKind VMySQLRecordSet::columnKind(unsigned column) {
    if (column >= fieldCount())
        throw vexception(format(L"Column %u out of range", column), VLOCATION("VMySQLRecordSet::columnKind"));
    const MYSQL_FIELD* field = mysql_fetch_field_direct(result_.get(), column);
    if (field->type == MYSQL_TYPE_BIT || field->type == MYSQL_TYPE_GEOMETRY) return ColumnKind::Bytes;
    const bool stringType = field->type == MYSQL_TYPE_STRING || field->type == MYSQL_TYPE_VAR_STRING ||
                            field->type == MYSQL_TYPE_VARCHAR || field->type == MYSQL_TYPE_BLOB ||
                            field->type == MYSQL_TYPE_TINY_BLOB || field->type == MYSQL_TYPE_MEDIUM_BLOB ||
                            field->type == MYSQL_TYPE_LONG_BLOB;
    const unsigned binaryCharset = 63;
    return stringType && field->charsetnr == binaryCharset ? ColumnKind::Binary : ColumnKind::Text;
}

bool VMySQLRecordSet::rawValue(unsigned column, std::string& bytes) {
    unsigned long length = 0;
    const char* value = cell(column, length);
    if (!value) return false;
    bytes.assign(value, length);
    return true;
}

uint64_t VMySQLRecordSet::rowCount() { return mysql_num_rows(result_.get()); }

void VMySQLRecordSet::addRef() { ++references_; }

void VMySQLRecordSet::release() {
    if (--references_ <= 0) delete this;
}

// ------------------------------------------------------------------ provider

MySQLDatabaseProvider::~MySQLDatabaseProvider() { disconnect(); }

MYSQL* MySQLDatabaseProvider::handle(ErrorLocation location) {
    if (!connection_) throw vexception(L"MySQLDatabaseProvider is not connected", std::move(location));
    return connection_.get();
}

void MySQLDatabaseProvider::connect(const std::wstring& host, const std::wstring& database,
                                    const std::wstring& login, const std::wstring& password, int port,
                                    const std::wstring& socket) {
    ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
    disconnect();
    UniqueMysql mysql(mysql_init(nullptr));
    if (!mysql)
        throw vexception(L"Insufficient memory to allocate new object", VLOCATION("MySQLDatabaseProvider::connect"));
    unsigned timeout = connectTimeoutSeconds;
    mysql_options(mysql.get(), MYSQL_OPT_CONNECT_TIMEOUT, &timeout);

    std::string hostA = cstr(host, CP_ACP), loginA = cstr(login, CP_ACP);
    const NarrowSecretText passwordA = cstr(password, CP_ACP);
    std::string databaseA = cstr(database, CP_ACP), socketA = cstr(socket, CP_ACP);
    if (!mysql_real_connect(mysql.get(), hostA.c_str(), loginA.c_str(), passwordA.c_str(),
                            database.empty() ? nullptr : databaseA.c_str(), static_cast<unsigned>(port),
                            socket.empty() ? nullptr : socketA.c_str(), 0)) {
        throw VDatabase::ConnectException(L"Failed to connect to database: " + errorText(mysql.get()),
                                          VLOCATION("MySQLDatabaseProvider::connect"));
    }
    connection_ = std::move(mysql);
    // A silent reconnect would lose the session settings below; lost
    // connections go to the reconnect handler instead.
    my_bool reconnect = 0;
    mysql_options(connection_.get(), MYSQL_OPT_RECONNECT, &reconnect);

    execute(L"SET SESSION TRANSACTION ISOLATION LEVEL READ UNCOMMITTED");
    // Servers before 4.1 know no connection character sets. Where the server
    // has utf8mb4 the connection uses it: MySQL's utf8 is three-byte UTF-8,
    // and characters beyond the basic plane would be refused or lost.
    const std::wstring serverVersion = version();
    if (compareVersions(serverVersion, L"5.5.3") >= 0)
        execute(L"SET NAMES 'utf8mb4'");
    else if (compareVersions(serverVersion, L"4.1") >= 0)
        execute(L"SET NAMES 'utf8'");
}

bool MySQLDatabaseProvider::isConnected() { return connection_.valid(); }

bool MySQLDatabaseProvider::ping() {
    if (!connection_) return false;
    ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
    return mysql_ping(connection_.get()) == 0;
}

void MySQLDatabaseProvider::disconnect() { connection_.reset(); }

std::wstring MySQLDatabaseProvider::version() {
    RecordSetRef records(query(L"select version()"));
    if (!records->next())
        throw vexception(L"Unable to get MySQLDatabaseProvider version", VLOCATION("MySQLDatabaseProvider::version"));
    return records->getValue(0, L"", false);
}

std::wstring MySQLDatabaseProvider::name() { return L"MySQL"; }

std::wstring MySQLDatabaseProvider::escape(const std::wstring& text) {
    MYSQL* mysql = handle(VLOCATION("MySQLDatabaseProvider::escape"));
    std::string utf8 = cstr(text, CP_UTF8);
    std::string escaped(2 * utf8.size() + 1, '\0');
    unsigned long length = mysql_real_escape_string(mysql, &escaped[0], utf8.data(), utf8.size());
    if (length == static_cast<unsigned long>(-1))
        throw vexception(L"Unable to escape text: " + lastError(), VLOCATION("MySQLDatabaseProvider::escape"));
    escaped.resize(length);
    return wstr(escaped, CP_UTF8);
}

void MySQLDatabaseProvider::useDatabase(const std::wstring& database) { execute(L"USE " + backQuoted(database)); }

bool MySQLDatabaseProvider::send(const std::string& utf8, const wchar_t* reconnectText, unsigned& code,
                                 const ErrorLocation& location) {
    bool retried = false;
    for (;;) {
        MYSQL* mysql = handle(location);
        if (mysql_real_query(mysql, utf8.data(), utf8.size()) == 0) return true;
        code = mysql_errno(mysql);
        if ((code == serverLost || code == serverGoneError) && !retried && reconnectHandler_) {
            logMessage(Info, L"%ls", reconnectText);
            retried = true;
            reconnectHandler_->reconnect(*this);
            continue;
        }
        return false;
    }
}

void MySQLDatabaseProvider::execute(const std::wstring& statement) {
    ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
    logMessage(Info, L"MySQLDatabaseProvider Execute: %ls", statement.c_str());
    std::string utf8 = cstr(statement, CP_UTF8);
    unsigned code = 0;
    if (!send(utf8, L"MySQLDatabaseProvider::execute reconnect", code, VLOCATION("MySQLDatabaseProvider::execute")))
        throw vexception(L"Can't execute " + statement + L": MySql error " + std::to_wstring(code) + L":" + lastError(),
                         VLOCATION("MySQLDatabaseProvider::execute"));
    // Rows a caller did not ask for would block the next command. A result
    // whose transfer failed (an error raised while its rows were made) is a
    // failed statement.
    UniqueMysqlResult unwanted(mysql_store_result(connection_.get()));
    if (!unwanted && (code = mysql_errno(connection_.get())) != 0)
        throw vexception(L"Can't execute " + statement + L": MySql error " + std::to_wstring(code) + L":" + lastError(),
                         VLOCATION("MySQLDatabaseProvider::execute"));
    discardPendingResults(connection_.get());
}

// A query's result: fetched whole, or row by row while the connection stays
// busy with it (streaming); failures at the caller's location.
UniqueMysqlResult MySQLDatabaseProvider::openResult(const std::wstring& statement, bool streaming,
                                                    const ErrorLocation& location) {
    logMessage(Info, L"MySQLDatabaseProvider Query: %ls", statement.c_str());
    unsigned code = 0;
    if (!send(cstr(statement, CP_UTF8), L"MySQLDatabaseProvider::query reconnect", code, location))
        throw vexception(L"Can't query " + statement + L": MySQLDatabaseProvider error " + std::to_wstring(code) +
                             L":" + lastError(),
                         location);
    UniqueMysqlResult result(streaming ? mysql_use_result(connection_.get()) : mysql_store_result(connection_.get()));
    if (!result)
        throw vexception(L"Can't get result for query " + statement + L" MySQLDatabaseProvider error " + lastError(),
                         location);
    if (!streaming) discardPendingResults(connection_.get());
    return result;
}

IDatabaseRecordSet* MySQLDatabaseProvider::query(const std::wstring& statement) {
    ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
    UniqueMysqlResult result = openResult(statement, false, VLOCATION("MySQLDatabaseProvider::query"));
    VMySQLRecordSet* records = new (std::nothrow) VMySQLRecordSet(std::move(result));
    if (!records) throwOutOfMemory();
    return records;
}

IDatabaseRecordSet* MySQLDatabaseProvider::queryStreaming(const std::wstring& statement) {
    ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
    UniqueMysqlResult result = openResult(statement, true, VLOCATION("MySQLDatabaseProvider::queryStreaming"));
    VMySQLRecordSet* records = new (std::nothrow) VMySQLRecordSet(std::move(result), connection_.get());
    if (!records) throwOutOfMemory();
    return records;
}

void MySQLDatabaseProvider::replace(const std::wstring&, const std::wstring& insertStatement) {
    if (insertStatement.size() > 6 && equalsIgnoreCase(insertStatement.substr(0, 6), L"INSERT")) {
        execute(L"REPLACE" + insertStatement.substr(6));
        return;
    }
    throw vexception(L"Can't execute replace(). Invalid INSERT request: " + insertStatement,
                     VLOCATION("MySQLDatabaseProvider::replace"));
}

void MySQLDatabaseProvider::setIdentityInsert(const std::wstring&) {}

uint64_t MySQLDatabaseProvider::lastInsertId() {
    return mysql_insert_id(handle(VLOCATION("MySQLDatabaseProvider::lastInsertId")));
}

void MySQLDatabaseProvider::beginTransaction() {
    execute(L"START TRANSACTION");
    ++transactionDepth_;
}

void MySQLDatabaseProvider::commit() {
    --transactionDepth_;
    execute(L"COMMIT");
}

void MySQLDatabaseProvider::rollback() {
    --transactionDepth_;
    execute(L"ROLLBACK");
}

void MySQLDatabaseProvider::beginImplicitTransaction(const std::wstring&) {}

void MySQLDatabaseProvider::endImplicitTransaction() {}

uint64_t MySQLDatabaseProvider::nextCounter(const std::wstring&, const std::wstring&) {
    execute(L"insert into ms_jet_counter(val) values( 0 )");
    uint64_t id = lastInsertId();
    // Only the newest number needs to stay.
    execute(L"delete from ms_jet_counter where id < " + std::to_wstring(id));
    return id;
}

bool MySQLDatabaseProvider::tableExists(const std::wstring& table) {
    // No table has an empty name, but MariaDB lists every table for an empty pattern.
    if (table.empty()) return false;
    // A LIKE pattern: its wildcards must match only themselves.
    std::wstring pattern;
    for (wchar_t c : escape(table)) pattern += (c == L'_' || c == L'%' ? L"\\" : L"") + std::wstring(1, c);
    RecordSetRef records(query(L"show tables like '" + pattern + L"'"));
    return records->next();
}

int MySQLDatabaseProvider::transactionDepth() { return transactionDepth_; }

std::wstring MySQLDatabaseProvider::lastError() { return connection_ ? errorText(connection_.get()) : std::wstring(); }

void MySQLDatabaseProvider::setPassword(const std::wstring& newPassword, const std::wstring&) {
    DbConnectionParams params = getDbConnectionParams();
    const std::wstring serverVersion = version();
    std::vector<std::wstring> hosts;
    if (usesAccountStatements(serverVersion)) {
        RecordSetRef records(query(L"SELECT Host FROM mysql.user WHERE User='" + escape(params.login) + L"'"));
        while (records->next()) hosts.push_back(escape(records->getValue(0, L"", false)));
    }
    const SecretText escapedPassword = escape(newPassword);
    withSecrets({newPassword, escapedPassword}, [&] {
        const SecretLines statements = setPasswordStatements(serverVersion, escape(params.login), escapedPassword, hosts);
        for (const std::wstring& statement : statements) execute(statement);
    });
}

void MySQLDatabaseProvider::exportData(ISAXContentHandler* handler) {
    for (const std::wstring& table : mySQLTables(*this)) writeTableData(*this, handler, table);
}

void MySQLDatabaseProvider::exportDataToNode(IXMLDOMNode* node) {
    for (const std::wstring& table : mySQLTables(*this)) exportTableToNode(node, table);
}

namespace {

// An import keeps the rows as the source held them: an explicit 0 in an
// AUTO_INCREMENT column stays 0 instead of taking the next number, zero dates
// are taken, a value that does not fit is refused instead of cut, and tables
// load in the document's order whatever their foreign keys say.
void prepareImportSession(IDatabaseProvider& provider) {
    const std::wstring serverVersion = provider.version();
    if (compareVersions(serverVersion, L"5.0.2") >= 0)
        provider.execute(L"SET SESSION sql_mode='NO_AUTO_VALUE_ON_ZERO,STRICT_ALL_TABLES,NO_ENGINE_SUBSTITUTION'");
    else if (compareVersions(serverVersion, L"4.1") >= 0)
        provider.execute(L"SET SESSION sql_mode='NO_AUTO_VALUE_ON_ZERO'");
    provider.execute(L"SET SESSION foreign_key_checks=0");
}

void executeLogged(IDatabaseProvider& provider, const std::wstring& statement) {
    logMessage(Info, L"SQL: %ls", statement.c_str());
    provider.execute(statement);
}

}  // namespace

void createMySQLUser(IDatabaseProvider& provider, const std::wstring& database, const std::wstring& login,
                     const std::wstring& password, const std::wstring& host) {
    std::wstring pattern = grantPattern(provider.escape(database));
    std::wstring escapedLogin = provider.escape(login);
    std::wstring escapedHost = host.empty() ? L"%" : provider.escape(host);
    const SecretText escapedPassword = provider.escape(password);
    withSecrets({password, escapedPassword}, [&] {
        const SecretLines statements =
            userCreationStatements(provider.version(), pattern, escapedLogin, escapedPassword, escapedHost);
        for (const std::wstring& statement : statements) executeLogged(provider, statement);
    });
}

void MySQLDatabaseProvider::ImportSchema(const std::wstring& document, const std::wstring& host,
                                         const std::wstring& database, const std::wstring& login,
                                         const std::wstring& password, int port, const std::wstring& socket,
                                         bool recreate, const std::wstring& managerLogin,
                                         const std::wstring& managerPassword) {
    // Nothing is created or dropped for a document that cannot be read whole.
    checkImportDocument(document, DocumentKind::Schema, VLOCATION("MySQLDatabaseProvider::ImportSchema"));
    if (!managerLogin.empty()) {
        std::unique_ptr<IDatabaseProvider> manager(IDatabaseProvider::Create(L"MySQL"));
        if (!manager) throwOutOfMemory();
        manager->connect(host, L"mysql", managerLogin, managerPassword, port, L"");
        const std::wstring serverVersion = manager->version();
        if (hasOldPasswords(serverVersion)) executeLogged(*manager, L"SET SESSION old_passwords=0");
        std::wstring count = L"SELECT COUNT(*) FROM mysql.user WHERE (mysql.user.User = '" + manager->escape(login) + L"')";
        logMessage(Info, L"SQL: %ls", count.c_str());
        RecordSetRef users(manager->query(count));
        if (users->next() && std::wcstoll(users->getValue(0, L"0", true).c_str(), nullptr, 10) > 0)
            throw vexception(format(L"User %ls already exists", login.c_str()),
                             VLOCATION("MySQLDatabaseProvider::ImportSchema"));
        createMySQLUser(*manager, L"master", login, password, L"");
        connect(host, L"mysql", managerLogin, managerPassword, port, socket);
        const SecretText escapedPassword = escape(password);
        withSecrets({password, escapedPassword}, [&] {
            const SecretLines statements = administratorStatements(serverVersion, escape(login), escapedPassword);
            for (const std::wstring& statement : statements) execute(statement);
        });
    }
    connect(host, L"", login, password, port, socket);
    prepareImportSession(*this);
    if (recreate) {
        if (managerLogin.empty()) execute(L"drop database IF EXISTS " + backQuoted(database));
        execute(L"create database " + backQuoted(database) + L" DEFAULT CHARSET=utf8;");
    }
    useDatabase(database);
    execute(L"DROP TABLE IF EXISTS `ms_jet_counter`");
    execute(counterTableCreate);
    MySQLSchemaImporter importer(*this, recreate);
    importer.setProgress(importProgress_);
    importer.parseURL(document);
    resetCounterTable(*this);
}

void MySQLDatabaseProvider::ImportData(const std::wstring& document, const std::wstring& host,
                                       const std::wstring& database, const std::wstring& login,
                                       const std::wstring& password, int port, const std::wstring& socket) {
    // No table is emptied for a document that breaks off or cannot be read.
    checkImportDocument(document, DocumentKind::Data, VLOCATION("MySQLDatabaseProvider::ImportData"));
    connect(host, L"mysql", login, password, port, socket);
    prepareImportSession(*this);
    useDatabase(database);
    MySQLDataImporter importer(*this, database);
    importer.setProgress(importProgress_);
    RecordSetRef packet(query(L"select @@max_allowed_packet"));
    if (packet->next()) importer.setStatementLimit(std::wcstoull(packet->getValue(0, L"0", true).c_str(), nullptr, 10));
    importer.parseURL(document);
    resetCounterTable(*this);
}

void MySQLDatabaseProvider::setReconnectHandler(IDatabaseReconnectHandler* handler) { reconnectHandler_ = handler; }
