#include "database/ado.h"

#include <cwchar>

#include "runtime/cancellation.h"
#include "runtime/exceptions.h"
#include "runtime/log.h"
#include "runtime/text.h"

void logIgnoredAdoFailure(const vexception& failure) { LogManager::instance().log(Warning, failure); }

// ------------------------------------------------------------------- provider

VADODatabaseProvider::VADODatabaseProvider() = default;
VADODatabaseProvider::~VADODatabaseProvider() { disconnect(); }

void VADODatabaseProvider::connect(const std::wstring& host, const std::wstring& database,
                                   const std::wstring& login, const std::wstring& password, int,
                                   const std::wstring&) {
    ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
    host_ = host;
    database_ = database;
    login_ = login;
    password_ = password;
    std::wstring text = connectionString(host, database);
    try {
        connection_.open(text, login, password);
    } catch (const ThreadCancelation::ThreadCanceledException&) {
        throw;
    } catch (...) {
        vexception cause = currentAsVException(std::wstring(), "VADODatabaseProvider::connect", __LINE__);
        throw vexception(format(L"Unable to ADO conect with connection string: %ls", text.c_str()) + L" " +
                             cause.message(),
                         VLOCATION("VADODatabaseProvider::connect"));
    }
}

bool VADODatabaseProvider::isConnected() { return connection_.isOpen(); }

bool VADODatabaseProvider::ping() { return true; }

void VADODatabaseProvider::disconnect() { connection_.close(); }

std::wstring VADODatabaseProvider::version() { return L"1.0"; }

std::wstring VADODatabaseProvider::escape(const std::wstring& text) {
    std::wstring result;
    result.reserve(text.size() + 8);
    for (wchar_t c : text) {
        if (c == L'\'') result += L'\'';
        result += c;
    }
    std::wstring doubled;
    doubled.reserve(result.size() + 8);
    for (wchar_t c : result) {
        if (c == L'"') doubled += L'"';
        doubled += c;
    }
    return doubled;
}

void VADODatabaseProvider::useDatabase(const std::wstring& database) { execute(L"use " + database); }

IDatabaseRecordSet* VADODatabaseProvider::query(const std::wstring& statement) {
    ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
    return connection_.openRecordSet(statement);
}

void VADODatabaseProvider::execute(const std::wstring& statement) {
    ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
    logMessage(Info, L"ADO query: %ls", statement.c_str());
    connection_.execute(statement);
}

void VADODatabaseProvider::replace(const std::wstring& deleteStatement, const std::wstring& insertStatement) {
    execute(deleteStatement);
    execute(insertStatement);
}

long long firstValueAsNumber(IDatabaseProvider& provider, const std::wstring& statement) {
    RecordSetRef records(provider.query(statement));
    if (!records->next()) return 0;
    return std::wcstoll(records->getValue(0, L"", true).c_str(), nullptr, 10);
}

uint64_t VADODatabaseProvider::lastInsertId() {
    return static_cast<uint64_t>(firstValueAsNumber(*this, L"SELECT @@IDENTITY"));
}

void VADODatabaseProvider::beginTransaction() {
    connection_.beginTrans();
    ++transactionDepth_;
}

void VADODatabaseProvider::commit() {
    connection_.commitTrans();
    --transactionDepth_;
}

void VADODatabaseProvider::rollback() {
    connection_.rollbackTrans();
    --transactionDepth_;
}

int VADODatabaseProvider::transactionDepth() { return transactionDepth_; }

std::wstring VADODatabaseProvider::lastError() { return connection_.lastError(); }
