// What the three schema importers share: the table being built from
// "table", "column" and "index" elements, created when its element ends.
// The back ends write the dialect.
#pragma once

#include <functional>
#include <map>
#include <string>

#include "database/import/contenthandler.h"
#include "database/provider.h"

class SchemaImporter : public ContentHandlerWrapper {
public:
    void startElement(const wchar_t* namespaceUri, int namespaceLength, const wchar_t* localName, int localLength,
                      const wchar_t* qName, int qLength, ISAXAttributes* attributes) final;
    void endElement(const wchar_t* namespaceUri, int namespaceLength, const wchar_t* localName, int localLength,
                    const wchar_t* qName, int qLength) final;

protected:
    // freshDatabase: the database was just created empty, so no table is dropped first.
    SchemaImporter(IDatabaseProvider& provider, bool freshDatabase);
    ~SchemaImporter() = default;

    // A table begins; its name is known and the column list empty.
    virtual void tableStarted() = 0;
    // The table element's attributes, just before tableStarted.
    virtual void tableAttributes(ISAXAttributes*) {}
    virtual void column(ISAXAttributes* attributes) = 0;
    virtual void index(const std::wstring& key, const std::wstring& column, ISAXAttributes* attributes) = 0;
    // The table's element ends: create it. The column list is emptied after.
    virtual void tableEnded() = 0;

    // Appends to the column list, after separator unless it is the first.
    void addColumn(const std::wstring& text, const wchar_t* separator);
    // Adds a column to key's entry: a new key begins with opening(), a known
    // one gets ", " and quotedColumn; then the order ("A": ascending), after
    // orderSeparator.
    static void addKeyColumn(std::map<std::wstring, std::wstring>& keys, const std::wstring& key,
                             const std::wstring& quotedColumn, const std::function<std::wstring()>& opening,
                             const wchar_t* orderSeparator, ISAXAttributes* attributes);

    IDatabaseProvider& provider_;
    bool freshDatabase_;
    std::wstring table_;
    std::wstring columns_;
};
