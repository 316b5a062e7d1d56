#include "database/xmlexport.h"

#include "database/xml.h"
#include "runtime/sysobjects.h"
#include "runtime/exceptions.h"
#include "runtime/progress.h"
#include "runtime/text.h"

unsigned long long writeTableData(IDatabaseProvider& provider, ISAXContentHandler* handler, const std::wstring& table) {
    if (table == counterTableName) return 0;
    RecordSetRef records(provider.query(L"select * from `" + table + L"`"));
    SaxEvents events(handler);
    SaxAttributeList attributes;
    attributes.add(L"name", table);
    events.startElement(L"table", attributes);
    const unsigned columns = records->fieldCount();
    std::vector<std::wstring> names;
    for (unsigned i = 0; i < columns; ++i) names.push_back(records->fieldName(i));
    unsigned long long rows = 0, bytes = 0;
    std::wstring value;
    while (records->next()) {
        attributes.clear();
        events.startElement(L"row", attributes);
        for (unsigned i = 0; i < columns; ++i) {
            attributes.clear();
            attributes.add(L"name", names[i]);
            bool isNull = !records->tryGetValue(i, value, false);
            if (isNull) attributes.add(L"isnull", L"true");
            events.startElement(L"field", attributes);
            if (!isNull) events.characters(value);
            bytes += isNull ? 0 : value.size();
            events.endElement(L"field");
        }
        events.endElement(L"row");
        ++rows;
        progress::note(progress::Step::Row, table, bytes);
        bytes = 0;
    }
    events.endElement(L"table");
    return rows;
}

std::vector<std::wstring> mySQLTables(IDatabaseProvider& provider) {
    std::vector<std::wstring> tables;
    RecordSetRef records(provider.query(L"show tables"));
    while (records->next()) tables.push_back(records->getValue(0, L"", false));
    return tables;
}

std::wstring schemaDefault(const std::wstring& serverDefault) {
    if (equalsIgnoreCase(serverDefault, L"current_timestamp()") || equalsIgnoreCase(serverDefault, L"current_timestamp"))
        return L"CURRENT_TIMESTAMP";
    return serverDefault;
}

namespace {

// The named columns of the current row as attributes, under their document names.
void addColumns(SaxAttributeList& attributes, IDatabaseRecordSet& records,
                std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> columns) {
    for (const auto& column : columns) {
        int index = records.fieldIndex(column.first);
        std::wstring value = index < 0 ? std::wstring() : records.getValue(static_cast<unsigned>(index), L"", false);
        attributes.add(column.second, value);
    }
}

}  // namespace

unsigned writeMySQLTableSchema(IDatabaseProvider& provider, ISAXContentHandler* handler, const std::wstring& table) {
    SaxEvents events(handler);
    SaxAttributeList attributes;
    attributes.add(L"name", table);
    events.startElement(L"table", attributes);
    unsigned count = 0;
    {
        RecordSetRef columns(provider.query(L"SHOW COLUMNS FROM `" + table + L"`"));
        while (columns->next()) {
            attributes.clear();
            addColumns(attributes, *columns.get(), {{L"Field", L"name"}, {L"Type", L"type"}, {L"Null", L"null"}});
            int index = columns->fieldIndex(L"Default");
            attributes.add(L"default",
                           index < 0 ? std::wstring() : schemaDefault(columns->getValue(static_cast<unsigned>(index), L"", false)));
            addColumns(attributes, *columns.get(), {{L"Extra", L"extra"}});
            events.startElement(L"column", attributes);
            events.endElement(L"column");
            ++count;
        }
    }
    RecordSetRef indexes(provider.query(L"SHOW INDEX FROM `" + table + L"`"));
    while (indexes->next()) {
        attributes.clear();
        addColumns(attributes, *indexes.get(),
                   {{L"Key_name", L"key_name"}, {L"Column_name", L"column_name"}, {L"Non_unique", L"non_unique"},
                    {L"Collation", L"Collation"}, {L"Null", L"null"}});
        events.startElement(L"index", attributes);
        events.endElement(L"index");
    }
    events.endElement(L"table");
    return count;
}

// ---------------------------------------------------------------- DOM node

namespace {

ComPtr<IXMLDOMElement> newElement(IXMLDOMDocument* document, const wchar_t* name) {
    UniqueBstr text(SysAllocString(name));
    if (!text) checkCom(E_OUTOFMEMORY);
    ComPtr<IXMLDOMElement> element;
    checkCom(document->createElement(text.get(), element.put()));
    return element;
}

void setAttribute(IXMLDOMElement* element, const wchar_t* name, const std::wstring& value) {
    UniqueBstr text(SysAllocString(name));
    UniqueVariant variant;
    variant.get()->vt = VT_BSTR;
    variant.get()->bstrVal = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
    if (!text || !variant.get()->bstrVal) checkCom(E_OUTOFMEMORY);
    checkCom(element->setAttribute(text.get(), *variant));
}

void append(IXMLDOMNode* parent, IXMLDOMElement* child) {
    ComPtr<IXMLDOMNode> added;
    checkCom(parent->appendChild(child, added.put()));
}

}  // namespace

void IDatabaseProvider::exportTableToNode(IXMLDOMNode* node, const std::wstring& table) {
    if (table == counterTableName) return;
    // A document is its own owner; every other node names its document.
    ComPtr<IXMLDOMDocument> document;
    if (FAILED(node->QueryInterface(IID_IXMLDOMDocument, document.putVoid()))) checkCom(node->get_ownerDocument(document.put()));
    RecordSetRef records(query(L"select * from `" + table + L"`"));
    ComPtr<IXMLDOMElement> tableElement = newElement(document.get(), L"table");
    setAttribute(tableElement.get(), L"name", table);
    const unsigned columns = records->fieldCount();
    std::vector<std::wstring> names;
    for (unsigned i = 0; i < columns; ++i) names.push_back(records->fieldName(i));
    std::wstring value;
    while (records->next()) {
        ComPtr<IXMLDOMElement> row = newElement(document.get(), L"row");
        for (unsigned i = 0; i < columns; ++i) {
            ComPtr<IXMLDOMElement> field = newElement(document.get(), L"field");
            setAttribute(field.get(), L"name", names[i]);
            if (records->tryGetValue(i, value, false))
                setAttribute(field.get(), L"value", value);
            else
                setAttribute(field.get(), L"isnull", L"true");
            append(row.get(), field.get());
        }
        append(tableElement.get(), row.get());
    }
    append(node, tableElement.get());
}

namespace {

// Creates the directory and its missing parents.
void createDirectories(const std::wstring& directory) {
    for (size_t end = 0; end != std::wstring::npos;) {
        end = directory.find_first_of(L"\\/", end + 1);
        std::wstring part = directory.substr(0, end);
        if (part.empty() || part.back() == L':') continue;
        if (!CreateDirectoryW(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            throwOSError(L"CreateDirectoryW " + part, GetLastError(), VLOCATION("exportMySQLDatabase"));
    }
}

}  // namespace

void exportMySQLDatabase(IDatabaseProvider& provider, const std::wstring& directory,
                         const ExportProgress& schemaProgress, const ExportProgress& dataProgress) {
    createDirectories(directory);
    const std::vector<std::wstring> tables = mySQLTables(provider);
    writeXmlDocument(directory + L"\\schema.xml", L"schema", [&](ISAXContentHandler* handler) {
        for (const std::wstring& table : tables) {
            if (table == counterTableName) continue;  // every schema import makes its own
            unsigned columns = writeMySQLTableSchema(provider, handler, table);
            if (schemaProgress) schemaProgress(table, columns);
        }
    });
    writeXmlDocument(directory + L"\\data.xml", L"data", [&](ISAXContentHandler* handler) {
        for (const std::wstring& table : tables) {
            if (table == counterTableName) continue;
            unsigned long long rows = writeTableData(provider, handler, table);
            if (dataProgress) dataProgress(table, rows);
        }
    });
}
