#include "database/import/mysqlimport.h"

#include "database/mysql.h"
#include "database/xml.h"
#include "runtime/cancellation.h"
#include "runtime/exceptions.h"
#include "runtime/log.h"
#include "runtime/setranslator.h"
#include "runtime/text.h"
#include "runtime/threadcanceled.h"

std::wstring mySQLTableOptions(const std::wstring& serverVersion) {
    return compareVersions(serverVersion, L"4.1") >= 0 ? L"ENGINE=InnoDB DEFAULT CHARSET=utf8"
                                                       : L"TYPE=InnoDB DEFAULT CHARSET=utf8";
}

// ------------------------------------------------------------------- schema

MySQLSchemaImporter::MySQLSchemaImporter(IDatabaseProvider& provider, bool freshDatabase)
    : provider_(provider), freshDatabase_(freshDatabase), tableOptions_(mySQLTableOptions(provider.version())) {}

void MySQLSchemaImporter::startElement(const wchar_t*, int, const wchar_t* localName, int localLength,
                                       const wchar_t*, int, ISAXAttributes* attributes) {
    if (isSaxName(localName, localLength, L"table")) {
        table_ = saxAttribute(attributes, L"name");
        columns_.clear();
        keys_.clear();
        columnCount_ = 0;
    } else if (isSaxName(localName, localLength, L"column")) {
        ++columnCount_;
        std::wstring column = L"`" + saxAttribute(attributes, L"name") + L"` " + saxAttribute(attributes, L"type") + L" ";
        if (saxAttribute(attributes, L"null") != L"YES") column += L"NOT NULL ";
        std::wstring byDefault = saxAttribute(attributes, L"default");
        if (!byDefault.empty())
            column += L"default " + (byDefault == L"CURRENT_TIMESTAMP" ? byDefault : L"'" + byDefault + L"'") + L" ";
        column += saxAttribute(attributes, L"extra");
        if (!columns_.empty()) columns_ += L",";
        columns_ += column;
    } else if (isSaxName(localName, localLength, L"index")) {
        std::wstring key = saxAttribute(attributes, L"key_name");
        std::wstring column = saxAttribute(attributes, L"column_name");
        auto found = keys_.find(key);
        if (found == keys_.end()) {
            std::wstring text;
            if (key == L"PRIMARY")
                text = L"PRIMARY KEY  (`" + column + L"`";
            else if (saxAttribute(attributes, L"non_unique") == L"0")
                text = L"UNIQUE KEY `" + key + L"`(`" + column + L"`";
            else
                text = L"KEY `" + key + L"`(`" + column + L"`";
            found = keys_.emplace(key, text).first;
        } else {
            found->second += L", `" + column + L"`";
        }
        found->second += saxAttribute(attributes, L"Collation") == L"A" ? L" ASC" : L" DESC";
    }
}

void MySQLSchemaImporter::endElement(const wchar_t*, int, const wchar_t* localName, int localLength, const wchar_t*,
                                     int) {
    if (!isSaxName(localName, localLength, L"table")) return;
    for (const auto& key : keys_) {
        if (!columns_.empty()) columns_ += L",";
        columns_ += key.second + L") ";
    }
    if (!freshDatabase_) provider_.execute(L"DROP TABLE IF EXISTS `" + table_ + L"`");
    provider_.execute(L"CREATE TABLE `" + table_ + L"`(" + columns_ + L") " + tableOptions_);
    columns_.clear();
    keys_.clear();
    if (progress_) progress_(table_, columnCount_, 0);
}

// --------------------------------------------------------------------- data

MySQLDataImporter::MySQLDataImporter(IDatabaseProvider& provider, const std::wstring& database)
    : provider_(provider), database_(database) {}

void MySQLDataImporter::startElement(const wchar_t*, int, const wchar_t* localName, int localLength,
                                     const wchar_t*, int, ISAXAttributes* attributes) {
    if (isSaxName(localName, localLength, L"field")) {
        fieldName_ = saxAttribute(attributes, L"name");
        fieldValue_ = saxAttribute(attributes, L"value");
        fieldIsNull_ = saxAttribute(attributes, L"isnull") == L"true";
        if (!columns_.empty()) columns_ += L",";
        if (!values_.empty()) values_ += L",";
        columns_ += L"`" + fieldName_ + L"`";
    } else if (isSaxName(localName, localLength, L"row")) {
        columns_.clear();
        values_.clear();
    } else if (isSaxName(localName, localLength, L"table")) {
        table_ = saxAttribute(attributes, L"name");
        tableInserted_ = tableRefused_ = 0;
        provider_.execute(format(L"delete from `%ls`", table_.c_str()));
    }
}

void MySQLDataImporter::characters(const wchar_t* chars, int length) {
    if (!fieldName_.empty() && length > 0) fieldValue_.append(chars, static_cast<size_t>(length));
}

void MySQLDataImporter::endElement(const wchar_t*, int, const wchar_t* localName, int localLength, const wchar_t*,
                                   int) {
    if (isSaxName(localName, localLength, L"field")) {
        values_ += fieldIsNull_ ? L"NULL" : L"'" + provider_.escape(fieldValue_) + L"'";
        fieldName_.clear();
        fieldValue_.clear();
        fieldIsNull_ = false;
    } else if (isSaxName(localName, localLength, L"row")) {
        std::wstring insert = L"INSERT INTO `" + table_ + L"`(" + columns_ + L") VALUES (" + values_ + L")";
        try {
            SeTranslatorScope translator;
            ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
            provider_.execute(insert);
            ++inserted_;
            ++tableInserted_;
        } catch (const ThreadCancelation::ThreadCanceledException&) {
            throw;
        } catch (...) {
            // A refused row is reported and skipped; the import goes on.
            ++refused_;
            ++tableRefused_;
            vexception failure =
                currentAsVException(format(L"Unable to import data row: %ls", insert.c_str()), "MySQLDataImporter::endElement", 318);
            LogManager::instance().log(Error, failure);
        }
    } else if (isSaxName(localName, localLength, L"table")) {
        if (progress_) progress_(table_, tableInserted_, tableRefused_);
    }
}
