#include "database/import/typetable.h"

#include <cwchar>

namespace {

struct Rule {
    const wchar_t* mysql;
    bool prefix;       // matches a type that begins with mysql
    bool keepsLength;  // the number after the parenthesis goes into the result
    const wchar_t* jet;
    const wchar_t* mssql;
};

// Tried in this order: "char(" must not shadow "varchar(", nor "int(" "bigint(".
const Rule rules[] = {
    {L"int(", true, false, L"INTEGER ", L"int "},
    {L"tinyint(", true, false, L"TINYINT ", L"tinyint "},
    {L"smallint(", true, false, L"SMALLINT ", L"smallint "},
    {L"enum(", true, false, L"TEXT(255) ", L"nvarchar(255) "},
    {L"varchar(", true, true, L"TEXT(", L"nvarchar("},
    {L"char(", true, true, L"TEXT(", L"nvarchar("},
    {L"bigint(", true, false, L"NUMERIC( 20, 0 ) ", L"bigint "},
    {L"text", false, false, L"TEXT ", L"ntext "},
    {L"mediumtext", false, false, L"TEXT ", L"ntext "},
    {L"blob", false, false, L"TEXT ", L"ntext "},
    {L"datetime", false, false, L"DATETIME ", L"datetime "},
    {L"date", false, false, L"DATETIME ", L"datetime "},
    {L"timestamp", false, false, L"DATETIME ", L"datetime "},
};

}  // namespace

bool translateColumnType(const std::wstring& mysqlType, TypeDialect dialect, std::wstring& translated) {
    for (const Rule& rule : rules) {
        size_t length = std::wcslen(rule.mysql);
        bool matches = rule.prefix ? mysqlType.compare(0, length, rule.mysql) == 0 : mysqlType == rule.mysql;
        if (!matches) continue;
        translated = dialect == TypeDialect::Jet ? rule.jet : rule.mssql;
        if (rule.keepsLength) {
            long n = std::wcstol(mysqlType.c_str() + length, nullptr, 10);
            translated += std::to_wstring(n) + L") ";
        }
        return true;
    }
    return false;
}
