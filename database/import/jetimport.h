// Schema and data documents into a Jet database, one statement at a time
// through the provider (which translates the quoting).
#pragma once

#include <functional>
#include <map>
#include <string>

#include "database/import/contenthandler.h"
#include "database/provider.h"

// A value of a date-class column that stands for "no date": it begins,
// without regard to case, with "0000-00-00".
bool isZeroDate(const std::wstring& value);
// The ADO data types whose values the importers write as dates (7, 133, 134, 135).
bool isDateClassType(int adoType);

class JetSchemaImporter final : public ContentHandlerWrapper {
public:
    // freshDatabase: the file was just created empty, so no table is dropped first.
    JetSchemaImporter(IDatabaseProvider& provider, bool freshDatabase);
    ~JetSchemaImporter() = default;

    void startElement(const wchar_t* namespaceUri, int namespaceLength, const wchar_t* localName, int localLength,
                      const wchar_t* qName, int qLength, ISAXAttributes* attributes) override;
    void endElement(const wchar_t* namespaceUri, int namespaceLength, const wchar_t* localName, int localLength,
                    const wchar_t* qName, int qLength) override;

    // The "default" attribute of each column of the current table. Jet's
    // DDL gets no defaults; they are kept for whoever needs them.
    const std::map<std::wstring, std::wstring>& columnDefaults() const { return defaults_; }

private:
    IDatabaseProvider& provider_;
    bool freshDatabase_;
    std::wstring table_;
    std::wstring columns_;
    std::map<std::wstring, std::wstring> keys_;
    std::map<std::wstring, std::wstring> keyClosings_;
    std::map<std::wstring, std::wstring> defaults_;
};

// The ADO data type of a column of a table.
using ColumnTypeLookup = std::function<int(const std::wstring& table, const std::wstring& column)>;

class JetDataImporter final : public ContentHandlerWrapper {
public:
    JetDataImporter(IDatabaseProvider& provider, const std::wstring& database, ColumnTypeLookup columnType);
    ~JetDataImporter() = default;

    void startElement(const wchar_t* namespaceUri, int namespaceLength, const wchar_t* localName, int localLength,
                      const wchar_t* qName, int qLength, ISAXAttributes* attributes) override;
    void endElement(const wchar_t* namespaceUri, int namespaceLength, const wchar_t* localName, int localLength,
                    const wchar_t* qName, int qLength) override;
    void characters(const wchar_t* chars, int length) override;

private:
    bool isDateColumn(const std::wstring& column);

    IDatabaseProvider& provider_;
    std::wstring database_;
    ColumnTypeLookup columnType_;
    std::map<std::wstring, int> types_;  // of the current table
    std::wstring table_;
    std::wstring columns_;
    std::wstring values_;
    std::wstring fieldName_;
    std::wstring fieldValue_;
    bool fieldIsNull_ = false;
};
