// Schema and data documents into a Jet database, one statement at a time
// through the provider (which translates the quoting).
#pragma once

#include <functional>
#include <map>
#include <string>

#include "database/import/contenthandler.h"
#include "database/import/dataimporter.h"
#include "database/import/schemaimporter.h"
#include "database/provider.h"

class JetSchemaImporter final : public SchemaImporter {
public:
    JetSchemaImporter(IDatabaseProvider& provider, bool freshDatabase);
    ~JetSchemaImporter() = default;

    // The "default" attribute of each column of the current table. Jet's
    // DDL gets no defaults; they are kept for whoever needs them.
    const std::map<std::wstring, std::wstring>& columnDefaults() const { return defaults_; }

private:
    void tableStarted() override;
    void column(ISAXAttributes* attributes) override;
    void index(const std::wstring& key, const std::wstring& column, ISAXAttributes* attributes) override;
    void tableEnded() override;

    std::map<std::wstring, std::wstring> keys_;
    std::map<std::wstring, std::wstring> keyClosings_;
    std::map<std::wstring, std::wstring> defaults_;
};

// The ADO data type of a column of a table.
using ColumnTypeLookup = std::function<int(const std::wstring& table, const std::wstring& column)>;

class JetDataImporter final : public DataImporter {
public:
    JetDataImporter(IDatabaseProvider& provider, const std::wstring& database, ColumnTypeLookup columnType);
    ~JetDataImporter() = default;

private:
    void tableStarted() override { types_.clear(); }
    // A zero date is written as Jet's day zero, unquoted.
    const wchar_t* zeroDateText(const std::wstring& column) override;

    ColumnTypeLookup columnType_;
    std::map<std::wstring, int> types_;  // of the current table
};
