#include "database/import/mssqlimport.h"

#include "database/ado.h"
#include "database/import/jetimport.h"
#include "database/import/typetable.h"
#include "database/xml.h"
#include "runtime/cancellation.h"
#include "runtime/exceptions.h"
#include "runtime/log.h"
#include "runtime/setranslator.h"
#include "runtime/text.h"
#include "runtime/threadcanceled.h"

// ------------------------------------------------------------------- schema

MSSQLSchemaImporter::MSSQLSchemaImporter(IDatabaseProvider& provider, bool freshDatabase)
    : provider_(provider), freshDatabase_(freshDatabase) {}

void MSSQLSchemaImporter::startElement(const wchar_t*, int, const wchar_t* localName, int localLength,
                                       const wchar_t*, int, ISAXAttributes* attributes) {
    if (isSaxName(localName, localLength, L"table")) {
        table_ = saxAttribute(attributes, L"name");
        columns_.clear();
        constraints_.clear();
        indexes_.clear();
    } else if (isSaxName(localName, localLength, L"column")) {
        std::wstring type = saxAttribute(attributes, L"type"), translated;
        if (!translateColumnType(type, TypeDialect::MSSQL, translated))
            throw vexception(L"Unable to understand type " + type, VLOCATION("MSSQLSchemaImporter::startElement"));
        std::wstring column = L"[" + saxAttribute(attributes, L"name") + L"] " + translated;
        std::wstring byDefault = saxAttribute(attributes, L"default");
        if (!byDefault.empty()) {
            std::wstring value = byDefault == L"0000-00-00 00:00:00" ? L"0"
                                 : byDefault == L"CURRENT_TIMESTAMP" ? byDefault
                                                                     : L"'" + byDefault + L"'";
            column += L"DEFAULT (" + value + L") ";
        }
        if (saxAttribute(attributes, L"extra") == L"auto_increment") column += L"IDENTITY(1,1) ";
        column += saxAttribute(attributes, L"null") != L"YES" ? L"NOT NULL " : L"NULL ";
        if (!columns_.empty()) columns_ += L", ";
        columns_ += column;
    } else if (isSaxName(localName, localLength, L"index")) {
        std::wstring key = saxAttribute(attributes, L"key_name");
        std::wstring column = saxAttribute(attributes, L"column_name");
        bool unique = key == L"PRIMARY" || saxAttribute(attributes, L"non_unique") == L"0";
        auto& keys = unique ? constraints_ : indexes_;
        auto found = keys.find(key);
        if (found == keys.end()) {
            std::wstring text;
            if (key == L"PRIMARY")
                text = L"CONSTRAINT [" + table_ + L"PrimaryKey] PRIMARY KEY ([" + column + L"]";
            else if (unique)
                text = format(L"CONSTRAINT [%lsUnique%ls] UNIQUE ([%ls]", table_.c_str(), key.c_str(), column.c_str());
            else
                text = L"CREATE INDEX [" + key + L"Index] ON  [" + table_ + L"]([" + column + L"]";
            found = keys.emplace(key, text).first;
        } else {
            found->second += L", [" + column + L"]";
        }
        found->second += saxAttribute(attributes, L"Collation") == L"A" ? L" ASC" : L" DESC";
    }
}

void MSSQLSchemaImporter::endElement(const wchar_t*, int, const wchar_t* localName, int localLength, const wchar_t*,
                                     int) {
    if (!isSaxName(localName, localLength, L"table")) return;
    for (const auto& constraint : constraints_) columns_ += L", " + constraint.second + L")";
    if (!freshDatabase_) provider_.execute(L"DROP TABLE [" + table_ + L"]");
    provider_.execute(L"CREATE TABLE [" + table_ + L"] (" + columns_ + L")");
    for (const auto& index : indexes_) provider_.execute(index.second + L")");
    columns_.clear();
    constraints_.clear();
    indexes_.clear();
}

// --------------------------------------------------------------------- data

MSSQLDataImporter::MSSQLDataImporter(IDatabaseProvider& provider, const std::wstring& database)
    : provider_(provider), database_(database) {}

void MSSQLDataImporter::startElement(const wchar_t*, int, const wchar_t* localName, int localLength,
                                     const wchar_t*, int, ISAXAttributes* attributes) {
    if (isSaxName(localName, localLength, L"field")) {
        fieldName_ = saxAttribute(attributes, L"name");
        fieldValue_ = saxAttribute(attributes, L"value");
        fieldIsNull_ = saxAttribute(attributes, L"isnull") == L"true";
        if (!columns_.empty()) columns_ += L",";
        if (!values_.empty()) values_ += L",";
        columns_ += L"[" + fieldName_ + L"]";
        if (types_.find(fieldName_) == types_.end()) {
            RecordSetRef shape(
                provider_.query(format(L"select [%ls] from [%ls] where 1=0  ", fieldName_.c_str(), table_.c_str())));
            types_[fieldName_] = adoColumnType(*shape.get(), 0);
            RecordSetRef identity(provider_.query(format(L"SELECT  COLUMNPROPERTY(object_id('%ls'), '%ls', 'IsIdentity')",
                                                         table_.c_str(), fieldName_.c_str())));
            if (identity->next() && identity->getValue(0, L"", false) == L"1") identityColumn_ = true;
        }
    } else if (isSaxName(localName, localLength, L"row")) {
        columns_.clear();
        values_.clear();
    } else if (isSaxName(localName, localLength, L"table")) {
        table_ = saxAttribute(attributes, L"name");
        types_.clear();
        identityColumn_ = identityInsertOn_ = false;
        provider_.execute(format(L"delete from [%ls]", table_.c_str()));
    }
}

void MSSQLDataImporter::characters(const wchar_t* chars, int length) {
    if (!fieldName_.empty() && length > 0) fieldValue_.append(chars, static_cast<size_t>(length));
}

void MSSQLDataImporter::endElement(const wchar_t*, int, const wchar_t* localName, int localLength, const wchar_t*,
                                   int) {
    if (isSaxName(localName, localLength, L"field")) {
        if (fieldIsNull_)
            values_ += L"NULL";
        else if (isZeroDate(fieldValue_) && isDateClassType(types_[fieldName_]))
            values_ += L"'1753-01-01 00:00:00'";
        else
            values_ += L"'" + provider_.escape(fieldValue_) + L"'";
        fieldName_.clear();
        fieldValue_.clear();
        fieldIsNull_ = false;
    } else if (isSaxName(localName, localLength, L"row")) {
        std::wstring insert = L"INSERT INTO [" + table_ + L"] (" + columns_ + L") VALUES (" + values_ + L")";
        try {
            SeTranslatorScope translator;
            ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
            if (identityColumn_ && !identityInsertOn_) {
                provider_.execute(L"SET IDENTITY_INSERT [" + table_ + L"] ON");
                identityInsertOn_ = true;
            }
            provider_.execute(insert);
        } catch (const ThreadCancelation::ThreadCanceledException&) {
            throw;
        } catch (...) {
            // A refused row is reported and skipped; the import goes on.
            LogManager::instance().log(
                Error, currentAsVException(format(L"Unable to import data row: %ls", insert.c_str()),
                                           "MSSQLDataImporter::endElement", __LINE__));
        }
    } else if (isSaxName(localName, localLength, L"table")) {
        if (identityInsertOn_) provider_.execute(L"SET IDENTITY_INSERT [" + table_ + L"] OFF");
    }
}
