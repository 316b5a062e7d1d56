// Schema and data documents into a MySQL database, one statement at a time
// through the provider.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "database/import/contenthandler.h"
#include "database/import/dataimporter.h"
#include "database/import/schemaimporter.h"
#include "database/mysql.h"
#include "database/provider.h"

// The table options of a CREATE TABLE for a server of that version: servers
// from 4.1 on take the engine as ENGINE= (newer ones refuse TYPE=).
std::wstring mySQLTableOptions(const std::wstring& serverVersion);

// What a schema document may put into a statement unquoted: a column type
// (words, one level of parentheses holding numbers and quoted texts), a
// name of an engine or collation, and a column's extra text.
bool isColumnTypeText(const std::wstring& type);
bool isPlainWord(const std::wstring& word);
bool isColumnExtraText(const std::wstring& extra);

class MySQLSchemaImporter final : public SchemaImporter {
public:
    // Asks the provider for the server's version.
    MySQLSchemaImporter(IDatabaseProvider& provider, bool freshDatabase);
    ~MySQLSchemaImporter() = default;
    // Told the table and its column count as each table is created.
    void setProgress(ImportProgress progress) { progress_ = std::move(progress); }

private:
    void tableAttributes(ISAXAttributes* attributes) override;
    void tableStarted() override;
    void column(ISAXAttributes* attributes) override;
    void index(const std::wstring& key, const std::wstring& column, ISAXAttributes* attributes) override;
    void tableEnded() override;

    std::wstring tableOptions_;
    std::wstring engine_, collation_;  // of the current table; empty: the defaults
    // In the document's order, which is the source's index order.
    std::vector<std::pair<std::wstring, std::wstring>> keys_;
    unsigned long long columnCount_ = 0;
    ImportProgress progress_;
};

class MySQLDataImporter final : public DataImporter {
public:
    MySQLDataImporter(IDatabaseProvider& provider, const std::wstring& database);
    ~MySQLDataImporter() = default;
    // Told the table, its rows inserted and refused as each table ends.
    void setProgress(ImportProgress progress) { progress_ = std::move(progress); }

    // The server's largest statement in bytes (0: no limit known). A longer
    // row is refused before it is sent: sending it would end the connection.
    void setStatementLimit(unsigned long long bytes) { statementLimit_ = bytes; }

    // Rows sent and rows the database refused, over the whole document.
    unsigned long long rowsInserted() const { return inserted_; }
    unsigned long long rowsRefused() const { return refused_; }

private:
    void tableStarted() override { tableInserted_ = tableRefused_ = 0; }
    bool isView(const std::wstring& table) override;
    void rowInserted() override {
        ++inserted_;
        ++tableInserted_;
    }
    void rowRefused() override {
        ++refused_;
        ++tableRefused_;
    }
    void tableEnded() override {
        if (progress_) progress_(table_, tableInserted_, tableRefused_);
    }
    void checkInsert(const std::wstring& insert) override;
    // Bytes as a hexadecimal literal: they reach the column unconverted.
    std::wstring bytesLiteral(const std::string& bytes) override;

    unsigned long long inserted_ = 0;
    unsigned long long refused_ = 0;
    unsigned long long tableInserted_ = 0;
    unsigned long long tableRefused_ = 0;
    unsigned long long statementLimit_ = 0;
    ImportProgress progress_;
};
