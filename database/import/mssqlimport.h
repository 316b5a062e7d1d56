// Schema and data documents into a SQL Server database, one statement at a
// time through the provider (which translates the quoting).
#pragma once

#include <map>
#include <string>

#include "database/import/contenthandler.h"
#include "database/provider.h"

class MSSQLSchemaImporter final : public ContentHandlerWrapper {
public:
    // freshDatabase: the database was just created empty, so no table is dropped first.
    MSSQLSchemaImporter(IDatabaseProvider& provider, bool freshDatabase);
    ~MSSQLSchemaImporter() = default;

    void startElement(const wchar_t* namespaceUri, int namespaceLength, const wchar_t* localName, int localLength,
                      const wchar_t* qName, int qLength, ISAXAttributes* attributes) override;
    void endElement(const wchar_t* namespaceUri, int namespaceLength, const wchar_t* localName, int localLength,
                    const wchar_t* qName, int qLength) override;

private:
    IDatabaseProvider& provider_;
    bool freshDatabase_;
    std::wstring table_;
    std::wstring columns_;
    // Constraints inside the create statement, and indexes after it.
    std::map<std::wstring, std::wstring> constraints_;
    std::map<std::wstring, std::wstring> indexes_;
};

class MSSQLDataImporter final : public ContentHandlerWrapper {
public:
    MSSQLDataImporter(IDatabaseProvider& provider, const std::wstring& database);
    ~MSSQLDataImporter() = default;

    void startElement(const wchar_t* namespaceUri, int namespaceLength, const wchar_t* localName, int localLength,
                      const wchar_t* qName, int qLength, ISAXAttributes* attributes) override;
    void endElement(const wchar_t* namespaceUri, int namespaceLength, const wchar_t* localName, int localLength,
                    const wchar_t* qName, int qLength) override;
    void characters(const wchar_t* chars, int length) override;

private:
    IDatabaseProvider& provider_;
    std::wstring database_;
    std::map<std::wstring, int> types_;  // of the current table's columns
    bool identityColumn_ = false;
    bool identityInsertOn_ = false;
    std::wstring table_;
    std::wstring columns_;
    std::wstring values_;
    std::wstring fieldName_;
    std::wstring fieldValue_;
    bool fieldIsNull_ = false;
};
