// MySQL column types as the Jet and SQL Server schema importers write them.
#pragma once

#include <string>

enum class TypeDialect { Jet, MSSQL };

// The translated type with its trailing blank; false for a type neither back
// end has a rule for. Prefix rules ("varchar(") are case-sensitive; the
// length of varchar and char is carried over.
bool translateColumnType(const std::wstring& mysqlType, TypeDialect dialect, std::wstring& translated);
