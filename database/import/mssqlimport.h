// Schema and data documents into a SQL Server database, one statement at a
// time through the provider (which translates the quoting).
#pragma once

#include <map>
#include <string>

#include "database/import/contenthandler.h"
#include "database/import/dataimporter.h"
#include "database/import/schemaimporter.h"
#include "database/provider.h"

class MSSQLSchemaImporter final : public SchemaImporter {
public:
    MSSQLSchemaImporter(IDatabaseProvider& provider, bool freshDatabase);
    ~MSSQLSchemaImporter() = default;

private:
    void tableStarted() override;
    void column(ISAXAttributes* attributes) override;
    void index(const std::wstring& key, const std::wstring& column, ISAXAttributes* attributes) override;
    void tableEnded() override;

    // Constraints inside the create statement, and indexes after it.
    std::map<std::wstring, std::wstring> constraints_;
    std::map<std::wstring, std::wstring> indexes_;
};

class MSSQLDataImporter final : public DataImporter {
public:
    MSSQLDataImporter(IDatabaseProvider& provider, const std::wstring& database);
    ~MSSQLDataImporter() = default;

private:
    void tableStarted() override;
    // Learns the column's type and whether it is an identity column.
    void fieldStarted() override;
    const wchar_t* zeroDateText(const std::wstring& column) override;
    std::wstring insertHead() const override { return L"INSERT INTO " + quoted(table_) + L" ("; }
    void beforeInsert() override;
    void tableEnded() override;

    std::map<std::wstring, int> types_;  // of the current table's columns
    bool identityColumn_ = false;
    bool identityInsertOn_ = false;
};
