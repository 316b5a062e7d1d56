#include "database/import/mssqlimport.h"

#include "database/ado.h"
#include "database/import/typetable.h"
#include "database/quotes.h"
#include "database/xml.h"
#include "runtime/exceptions.h"
#include "runtime/text.h"

// ------------------------------------------------------------------- schema

MSSQLSchemaImporter::MSSQLSchemaImporter(IDatabaseProvider& provider, bool freshDatabase)
    : SchemaImporter(provider, freshDatabase) {}

void MSSQLSchemaImporter::tableStarted() {
    constraints_.clear();
    indexes_.clear();
}

void MSSQLSchemaImporter::column(ISAXAttributes* attributes) {
    std::wstring type = saxAttribute(attributes, L"type"), translated;
    if (!translateColumnType(type, TypeDialect::MSSQL, translated))
        throw vexception(L"Unable to understand type " + type, VLOCATION("MSSQLSchemaImporter::startElement"));
    std::wstring column = bracketedName(saxAttribute(attributes, L"name")) + L" " + translated;
    std::wstring byDefault = saxAttribute(attributes, L"default");
    if (!byDefault.empty()) {
        std::wstring value = byDefault == L"0000-00-00 00:00:00" ? L"0"
                             : byDefault == L"CURRENT_TIMESTAMP" ? byDefault
                                                                 : L"'" + provider_.escape(byDefault) + L"'";
        column += L"DEFAULT (" + value + L") ";
    }
    if (saxAttribute(attributes, L"extra") == L"auto_increment") column += L"IDENTITY(1,1) ";
    column += saxAttribute(attributes, L"null") != L"YES" ? L"NOT NULL " : L"NULL ";
    addColumn(column, L", ");
}

void MSSQLSchemaImporter::index(const std::wstring& key, const std::wstring& column, ISAXAttributes* attributes) {
    bool unique = key == L"PRIMARY" || saxAttribute(attributes, L"non_unique") == L"0";
    addKeyColumn(unique ? constraints_ : indexes_, key, bracketedName(column), [&] {
        if (key == L"PRIMARY") return L"CONSTRAINT " + bracketedName(table_ + L"PrimaryKey") + L" PRIMARY KEY (" + bracketedName(column);
        if (unique) return L"CONSTRAINT " + bracketedName(table_ + L"Unique" + key) + L" UNIQUE (" + bracketedName(column);
        return L"CREATE INDEX " + bracketedName(key + L"Index") + L" ON  " + bracketedName(table_) + L"(" + bracketedName(column);
    }, L" ", attributes);
}

void MSSQLSchemaImporter::tableEnded() {
    for (const auto& constraint : constraints_) columns_ += L", " + constraint.second + L")";
    if (!freshDatabase_) provider_.execute(L"DROP TABLE " + bracketedName(table_));
    provider_.execute(L"CREATE TABLE " + bracketedName(table_) + L" (" + columns_ + L")");
    for (const auto& index : indexes_) provider_.execute(index.second + L")");
    constraints_.clear();
    indexes_.clear();
}

// --------------------------------------------------------------------- data

MSSQLDataImporter::MSSQLDataImporter(IDatabaseProvider& provider, const std::wstring& database)
    : DataImporter(provider, database, L"[", L"]", "MSSQLDataImporter::endElement", 0) {}

void MSSQLDataImporter::tableStarted() {
    types_.clear();
    identityColumn_ = identityInsertOn_ = false;
}

void MSSQLDataImporter::fieldStarted() {
    if (types_.find(fieldName_) != types_.end()) return;
    RecordSetRef shape(provider_.query(L"select " + bracketedName(fieldName_) + L" from " + bracketedName(table_) + L" where 1=0  "));
    types_[fieldName_] = adoColumnType(*shape.get(), 0);
    RecordSetRef identity(provider_.query(L"SELECT  COLUMNPROPERTY(object_id('" + provider_.escape(table_) + L"'), '" +
                                          provider_.escape(fieldName_) + L"', 'IsIdentity')"));
    if (identity->next() && identity->getValue(0, L"", false) == L"1") identityColumn_ = true;
}

// SQL Server's datetime starts in 1753.
const wchar_t* MSSQLDataImporter::zeroDateText(const std::wstring& column) {
    return isDateClassType(types_[column]) ? L"'1753-01-01 00:00:00'" : nullptr;
}

void MSSQLDataImporter::beforeInsert() {
    if (identityColumn_ && !identityInsertOn_) {
        provider_.execute(L"SET IDENTITY_INSERT " + bracketedName(table_) + L" ON");
        identityInsertOn_ = true;
    }
}

void MSSQLDataImporter::tableEnded() {
    if (identityInsertOn_) provider_.execute(L"SET IDENTITY_INSERT " + bracketedName(table_) + L" OFF");
}
