// Schema and data documents into a MySQL database, one statement at a time
// through the provider.
#pragma once

#include <map>
#include <string>

#include "database/import/contenthandler.h"
#include "database/mysql.h"
#include "database/provider.h"

// The table options of a CREATE TABLE for a server of that version: servers
// from 4.1 on take the engine as ENGINE= (newer ones refuse TYPE=).
std::wstring mySQLTableOptions(const std::wstring& serverVersion);

class MySQLSchemaImporter final : public ContentHandlerWrapper {
public:
    // freshDatabase: the database was just created empty, so no table is
    // dropped first. Asks the provider for the server's version.
    MySQLSchemaImporter(IDatabaseProvider& provider, bool freshDatabase);
    ~MySQLSchemaImporter() = default;
    // Told the table and its column count as each table is created.
    void setProgress(ImportProgress progress) { progress_ = std::move(progress); }

    void startElement(const wchar_t* namespaceUri, int namespaceLength, const wchar_t* localName, int localLength,
                      const wchar_t* qName, int qLength, ISAXAttributes* attributes) override;
    void endElement(const wchar_t* namespaceUri, int namespaceLength, const wchar_t* localName, int localLength,
                    const wchar_t* qName, int qLength) override;

private:
    IDatabaseProvider& provider_;
    bool freshDatabase_;
    std::wstring tableOptions_;
    std::wstring table_;
    std::wstring columns_;
    std::map<std::wstring, std::wstring> keys_;
    unsigned long long columnCount_ = 0;
    ImportProgress progress_;
};

class MySQLDataImporter final : public ContentHandlerWrapper {
public:
    MySQLDataImporter(IDatabaseProvider& provider, const std::wstring& database);
    ~MySQLDataImporter() = default;
    // Told the table, its rows inserted and refused as each table ends.
    void setProgress(ImportProgress progress) { progress_ = std::move(progress); }

    void startElement(const wchar_t* namespaceUri, int namespaceLength, const wchar_t* localName, int localLength,
                      const wchar_t* qName, int qLength, ISAXAttributes* attributes) override;
    void endElement(const wchar_t* namespaceUri, int namespaceLength, const wchar_t* localName, int localLength,
                    const wchar_t* qName, int qLength) override;
    void characters(const wchar_t* chars, int length) override;

    // Rows sent and rows the database refused, over the whole document.
    unsigned long long rowsInserted() const { return inserted_; }
    unsigned long long rowsRefused() const { return refused_; }

private:
    IDatabaseProvider& provider_;
    std::wstring database_;
    std::wstring table_;
    std::wstring columns_;
    std::wstring values_;
    std::wstring fieldName_;
    std::wstring fieldValue_;
    bool fieldIsNull_ = false;
    unsigned long long inserted_ = 0;
    unsigned long long refused_ = 0;
    unsigned long long tableInserted_ = 0;
    unsigned long long tableRefused_ = 0;
    ImportProgress progress_;
};
