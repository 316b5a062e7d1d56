#include "database/provider.h"

#include <cwchar>
#include <new>

#include "runtime/catchpoint.h"
#include "database/jet.h"
#include "database/mssql.h"
#include "database/mysql.h"
#include "runtime/exceptions.h"

const wchar_t* const counterTableName = L"ms_jet_counter";
const wchar_t* const counterTableCreate =
    L"create table ms_jet_counter(id int(10) unsigned auto_increment PRIMARY KEY, val int(10))";

bool IDatabaseRecordSet::hasField(const std::wstring& name) { return fieldIndex(name) != -1; }

std::wstring IDatabaseRecordSet::getValue(unsigned column, const std::wstring& defaultValue, bool emptyIsNull) {
    std::wstring value;
    if (tryGetValue(column, value, emptyIsNull)) return value;
    return defaultValue;
}

void IDatabaseProvider::setReconnectHandler(IDatabaseReconnectHandler*) {}

IDatabaseProvider* IDatabaseProvider::Create(const std::wstring& name) {
    if (name.empty() || name == L"MySQL") return new (std::nothrow) MySQLDatabaseProvider();
    if (name == L"MSSQL") return new (std::nothrow) MSSQLDatabaseProvider();
    if (name == L"Jet") return new (std::nothrow) JetDatabaseProvider();
    throw vexception(L"Unable to build database provider " + name, VLOCATION("IDatabaseProvider::Create"));
}

void resetCounterTable(IDatabaseProvider& provider) {
    static const wchar_t* const counted[][2] = {
        {L"clients", L"pool_id"},   {L"ip_pool", L"id"},      {L"limits", L"id"},
        {L"parameters", L"id"},     {L"permissions", L"id"},  {L"repository", L"rep_id"},
        {L"tmpldata", L"tmpl_id"},  {L"ms_jet_counter", L"id"},
    };
    long long highest = 0;
    for (const auto& pair : counted) {
        // A table the database lacks simply does not count.
        ignoreFailure([&] {
            RecordSetRef records(provider.query(std::wstring(L"select max(`") + pair[1] + L"`) from `" + pair[0] + L"`"));
            if (records->next()) {
                long long value = std::wcstoll(records->getValue(0, L"", true).c_str(), nullptr, 10);
                if (value > highest) highest = value;
            }
        });
    }
    provider.execute(L"delete from ms_jet_counter");
    provider.setIdentityInsert(counterTableName);
    provider.execute(L"insert into ms_jet_counter(`id`, `val`) values( " + std::to_wstring(highest + 1) + L", 0 )");
    provider.setIdentityInsert(L"");
}
