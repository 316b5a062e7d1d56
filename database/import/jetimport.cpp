#include "database/import/jetimport.h"

#include "database/import/typetable.h"
#include "database/quotes.h"
#include "database/xml.h"
#include "runtime/catchpoint.h"
#include "runtime/exceptions.h"
#include "runtime/text.h"

// ------------------------------------------------------------------- schema

JetSchemaImporter::JetSchemaImporter(IDatabaseProvider& provider, bool freshDatabase)
    : SchemaImporter(provider, freshDatabase) {}

void JetSchemaImporter::tableStarted() {
    keys_.clear();
    keyClosings_.clear();
    defaults_.clear();
    // The table may well not exist yet.
    if (!freshDatabase_) ignoreFailure([&] { provider_.execute(L"DROP TABLE " + bracketedName(table_)); });
}

void JetSchemaImporter::column(ISAXAttributes* attributes) {
    std::wstring name = saxAttribute(attributes, L"name");
    std::wstring column = bracketedName(name) + L" ";
    if (saxAttribute(attributes, L"extra") == L"auto_increment") {
        column += L"COUNTER( 1, 1) ";
    } else {
        std::wstring type = saxAttribute(attributes, L"type"), translated;
        if (!translateColumnType(type, TypeDialect::Jet, translated))
            throw vexception(L"Unable to understand type " + type, VLOCATION("JetSchemaImporter::startElement"));
        column += translated;
    }
    if (saxAttribute(attributes, L"null") != L"YES") column += L"NOT NULL ";
    defaults_[name] = saxAttribute(attributes, L"default");
    addColumn(column, L", ");
}

void JetSchemaImporter::index(const std::wstring& key, const std::wstring& column, ISAXAttributes* attributes) {
    addKeyColumn(keys_, key, bracketedName(column), [&] {
        std::wstring text;
        if (key == L"PRIMARY") {
            text = L"CREATE UNIQUE INDEX " + bracketedName(table_ + L"PrimaryKey") + L" ON  " + bracketedName(table_) + L"(" +
                   bracketedName(column);
            keyClosings_[key] = L") WITH PRIMARY";
        } else {
            text = (saxAttribute(attributes, L"non_unique") == L"0" ? L"CREATE UNIQUE INDEX " : L"CREATE INDEX ") +
                   bracketedName(key + L"Index") + L" ON  " + bracketedName(table_) + L"(" + bracketedName(column);
            keyClosings_[key] = saxAttribute(attributes, L"null").empty() ? L") WITH DISALLOW NULL" : L")";
        }
        return text;
    }, L"", attributes);
}

void JetSchemaImporter::tableEnded() {
    provider_.execute(L"CREATE TABLE " + bracketedName(table_) + L"(" + columns_ + L")");
    for (const auto& key : keys_) provider_.execute(key.second + keyClosings_[key.first]);
    keys_.clear();
    keyClosings_.clear();
}

// --------------------------------------------------------------------- data

JetDataImporter::JetDataImporter(IDatabaseProvider& provider, const std::wstring& database,
                                 ColumnTypeLookup columnType)
    : DataImporter(provider, database, L"[", L"]", "JetDataImporter::endElement", 0),
      columnType_(std::move(columnType)) {}

const wchar_t* JetDataImporter::zeroDateText(const std::wstring& column) {
    auto found = types_.find(column);
    if (found == types_.end()) found = types_.emplace(column, columnType_(table_, column)).first;
    return isDateClassType(found->second) ? L"0" : nullptr;
}
