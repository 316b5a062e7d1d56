// The table data and schema of a database as XML: SAX events for a content
// handler (a writer, another importer) or elements under a DOM node.
#pragma once

#include <windows.h>
#include <msxml2.h>

#include <functional>
#include <string>
#include <vector>

#include "database/provider.h"

// Writes one table's rows as "table"/"row"/"field" events; returns the row
// count. The counter table is skipped (0 rows, no events).
unsigned long long writeTableData(IDatabaseProvider& provider, ISAXContentHandler* handler, const std::wstring& table);

// The tables of the current MySQL database ("show tables").
std::vector<std::wstring> mySQLTables(IDatabaseProvider& provider);

// One table's schema as the schema importers read it: "table" with its
// "column" entries (SHOW COLUMNS) and "index" entries (SHOW INDEX, in key
// and column order). Returns the number of columns.
unsigned writeMySQLTableSchema(IDatabaseProvider& provider, ISAXContentHandler* handler, const std::wstring& table);

// A default value as the schema document writes it: MariaDB's
// "current_timestamp()" becomes the CURRENT_TIMESTAMP the importers know.
std::wstring schemaDefault(const std::wstring& serverDefault);

// Told each table as it is written: its name and its row (schema: column) count.
using ExportProgress = std::function<void(const std::wstring& table, unsigned long long count)>;

// Writes directory\schema.xml (the schema importers' format) and
// directory\data.xml (the table data format under a "data" root) of the
// provider's current MySQL database; the directory is created when missing.
void exportMySQLDatabase(IDatabaseProvider& provider, const std::wstring& directory,
                         const ExportProgress& schemaProgress, const ExportProgress& dataProgress);
