#include "database/import/schemaimporter.h"

#include "database/xml.h"

SchemaImporter::SchemaImporter(IDatabaseProvider& provider, bool freshDatabase)
    : provider_(provider), freshDatabase_(freshDatabase) {}

void SchemaImporter::startElement(const wchar_t*, int, const wchar_t* localName, int localLength, const wchar_t*,
                                  int, ISAXAttributes* attributes) {
    if (isSaxName(localName, localLength, L"table")) {
        table_ = saxAttribute(attributes, L"name");
        columns_.clear();
        tableAttributes(attributes);
        tableStarted();
    } else if (isSaxName(localName, localLength, L"column")) {
        column(attributes);
    } else if (isSaxName(localName, localLength, L"index")) {
        index(saxAttribute(attributes, L"key_name"), saxAttribute(attributes, L"column_name"), attributes);
    }
}

void SchemaImporter::endElement(const wchar_t*, int, const wchar_t* localName, int localLength, const wchar_t*,
                                int) {
    if (!isSaxName(localName, localLength, L"table")) return;
    tableEnded();
    columns_.clear();
}

void SchemaImporter::addColumn(const std::wstring& text, const wchar_t* separator) {
    if (!columns_.empty()) columns_ += separator;
    columns_ += text;
}

void SchemaImporter::addKeyColumn(std::map<std::wstring, std::wstring>& keys, const std::wstring& key,
                                  const std::wstring& quotedColumn, const std::function<std::wstring()>& opening,
                                  const wchar_t* orderSeparator, ISAXAttributes* attributes) {
    auto found = keys.find(key);
    if (found == keys.end())
        found = keys.emplace(key, opening()).first;
    else
        found->second += L", " + quotedColumn;
    found->second += orderSeparator;
    found->second += saxAttribute(attributes, L"Collation") == L"A" ? L"ASC" : L"DESC";
}
