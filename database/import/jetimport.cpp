#include "database/import/jetimport.h"

#include <cwctype>

#include "database/import/typetable.h"
#include "database/xml.h"
#include "runtime/cancellation.h"
#include "runtime/catchpoint.h"
#include "runtime/exceptions.h"
#include "runtime/log.h"
#include "runtime/setranslator.h"
#include "runtime/text.h"
#include "runtime/threadcanceled.h"

bool isZeroDate(const std::wstring& value) {
    return value.size() >= 10 && _wcsnicmp(value.c_str(), L"0000-00-00", 10) == 0;
}

bool isDateClassType(int adoType) { return adoType == 7 || adoType == 133 || adoType == 134 || adoType == 135; }

// ------------------------------------------------------------------- schema

JetSchemaImporter::JetSchemaImporter(IDatabaseProvider& provider, bool freshDatabase)
    : provider_(provider), freshDatabase_(freshDatabase) {}

void JetSchemaImporter::startElement(const wchar_t*, int, const wchar_t* localName, int localLength,
                                     const wchar_t*, int, ISAXAttributes* attributes) {
    if (isSaxName(localName, localLength, L"table")) {
        table_ = saxAttribute(attributes, L"name");
        columns_.clear();
        keys_.clear();
        keyClosings_.clear();
        defaults_.clear();
        // The table may well not exist yet.
        if (!freshDatabase_) ignoreFailure([&] { provider_.execute(L"DROP TABLE [" + table_ + L"]"); });
    } else if (isSaxName(localName, localLength, L"column")) {
        std::wstring name = saxAttribute(attributes, L"name");
        std::wstring column = L"[" + name + L"] ";
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
        if (!columns_.empty()) columns_ += L", ";
        columns_ += column;
    } else if (isSaxName(localName, localLength, L"index")) {
        std::wstring key = saxAttribute(attributes, L"key_name");
        std::wstring column = saxAttribute(attributes, L"column_name");
        auto found = keys_.find(key);
        if (found == keys_.end()) {
            std::wstring text, closing;
            if (key == L"PRIMARY") {
                text = L"CREATE UNIQUE INDEX [" + table_ + L"PrimaryKey] ON  [" + table_ + L"]([" + column + L"]";
                closing = L") WITH PRIMARY";
            } else {
                text = (saxAttribute(attributes, L"non_unique") == L"0" ? L"CREATE UNIQUE INDEX [" : L"CREATE INDEX [") +
                       key + L"Index] ON  [" + table_ + L"]([" + column + L"]";
                closing = saxAttribute(attributes, L"null").empty() ? L") WITH DISALLOW NULL" : L")";
            }
            found = keys_.emplace(key, text).first;
            keyClosings_[key] = closing;
        } else {
            found->second += L", [" + column + L"]";
        }
        found->second += saxAttribute(attributes, L"Collation") == L"A" ? L"ASC" : L"DESC";
    }
}

void JetSchemaImporter::endElement(const wchar_t*, int, const wchar_t* localName, int localLength, const wchar_t*,
                                   int) {
    if (!isSaxName(localName, localLength, L"table")) return;
    provider_.execute(L"CREATE TABLE [" + table_ + L"](" + columns_ + L")");
    for (const auto& key : keys_) provider_.execute(key.second + keyClosings_[key.first]);
    columns_.clear();
    keys_.clear();
    keyClosings_.clear();
}

// --------------------------------------------------------------------- data

JetDataImporter::JetDataImporter(IDatabaseProvider& provider, const std::wstring& database,
                                 ColumnTypeLookup columnType)
    : provider_(provider), database_(database), columnType_(std::move(columnType)) {}

bool JetDataImporter::isDateColumn(const std::wstring& column) {
    auto found = types_.find(column);
    if (found == types_.end()) found = types_.emplace(column, columnType_(table_, column)).first;
    return isDateClassType(found->second);
}

void JetDataImporter::startElement(const wchar_t*, int, const wchar_t* localName, int localLength, const wchar_t*,
                                   int, ISAXAttributes* attributes) {
    if (isSaxName(localName, localLength, L"field")) {
        fieldName_ = saxAttribute(attributes, L"name");
        fieldValue_ = saxAttribute(attributes, L"value");
        fieldIsNull_ = saxAttribute(attributes, L"isnull") == L"true";
        if (!columns_.empty()) columns_ += L",";
        if (!values_.empty()) values_ += L",";
        columns_ += L"[" + fieldName_ + L"]";
    } else if (isSaxName(localName, localLength, L"row")) {
        columns_.clear();
        values_.clear();
    } else if (isSaxName(localName, localLength, L"table")) {
        table_ = saxAttribute(attributes, L"name");
        types_.clear();
        provider_.execute(format(L"delete from [%ls]", table_.c_str()));
    }
}

void JetDataImporter::characters(const wchar_t* chars, int length) {
    if (!fieldName_.empty() && length > 0) fieldValue_.append(chars, static_cast<size_t>(length));
}

void JetDataImporter::endElement(const wchar_t*, int, const wchar_t* localName, int localLength, const wchar_t*,
                                 int) {
    if (isSaxName(localName, localLength, L"field")) {
        if (fieldIsNull_)
            values_ += L"NULL";
        else if (isZeroDate(fieldValue_) && isDateColumn(fieldName_))
            values_ += L"0";
        else
            values_ += L"'" + provider_.escape(fieldValue_) + L"'";
        fieldName_.clear();
        fieldValue_.clear();
        fieldIsNull_ = false;
    } else if (isSaxName(localName, localLength, L"row")) {
        std::wstring insert = L"INSERT INTO [" + table_ + L"](" + columns_ + L") VALUES (" + values_ + L")";
        try {
            SeTranslatorScope translator;
            ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
            provider_.execute(insert);
        } catch (const ThreadCancelation::ThreadCanceledException&) {
            throw;
        } catch (...) {
            // A refused row is reported and skipped; the import goes on.
            LogManager::instance().log(
                Error, currentAsVException(format(L"Unable to import data row: %ls", insert.c_str()),
                                           "JetDataImporter::endElement", __LINE__));
        }
    }
}
