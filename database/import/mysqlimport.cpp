#include "database/import/mysqlimport.h"

#include "database/mysql.h"
#include "database/xml.h"
#include "runtime/exceptions.h"
#include "runtime/text.h"

std::wstring mySQLTableOptions(const std::wstring& serverVersion) {
    return compareVersions(serverVersion, L"4.1") >= 0 ? L"ENGINE=InnoDB DEFAULT CHARSET=utf8"
                                                       : L"TYPE=InnoDB DEFAULT CHARSET=utf8";
}

// ------------------------------------------------------------------- schema

MySQLSchemaImporter::MySQLSchemaImporter(IDatabaseProvider& provider, bool freshDatabase)
    : SchemaImporter(provider, freshDatabase), tableOptions_(mySQLTableOptions(provider.version())) {}

void MySQLSchemaImporter::tableStarted() {
    keys_.clear();
    columnCount_ = 0;
}

void MySQLSchemaImporter::column(ISAXAttributes* attributes) {
    ++columnCount_;
    std::wstring column = L"`" + saxAttribute(attributes, L"name") + L"` " + saxAttribute(attributes, L"type") + L" ";
    if (saxAttribute(attributes, L"null") != L"YES") column += L"NOT NULL ";
    std::wstring byDefault = saxAttribute(attributes, L"default");
    if (!byDefault.empty())
        column += L"default " + (byDefault == L"CURRENT_TIMESTAMP" ? byDefault : L"'" + byDefault + L"'") + L" ";
    column += saxAttribute(attributes, L"extra");
    addColumn(column, L",");
}

void MySQLSchemaImporter::index(const std::wstring& key, const std::wstring& column, ISAXAttributes* attributes) {
    addKeyColumn(keys_, key, L"`" + column + L"`", [&] {
        if (key == L"PRIMARY") return L"PRIMARY KEY  (`" + column + L"`";
        if (saxAttribute(attributes, L"non_unique") == L"0") return L"UNIQUE KEY `" + key + L"`(`" + column + L"`";
        return L"KEY `" + key + L"`(`" + column + L"`";
    }, L" ", attributes);
}

void MySQLSchemaImporter::tableEnded() {
    for (const auto& key : keys_) addColumn(key.second + L") ", L",");
    if (!freshDatabase_) provider_.execute(L"DROP TABLE IF EXISTS `" + table_ + L"`");
    provider_.execute(L"CREATE TABLE `" + table_ + L"`(" + columns_ + L") " + tableOptions_);
    keys_.clear();
    if (progress_) progress_(table_, columnCount_, 0);
}

// --------------------------------------------------------------------- data

MySQLDataImporter::MySQLDataImporter(IDatabaseProvider& provider, const std::wstring& database)
    : DataImporter(provider, database, L"`", L"`", "MySQLDataImporter::endElement", 318) {}
