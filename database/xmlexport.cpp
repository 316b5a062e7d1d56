#include "database/xmlexport.h"

#include "database/mysql.h"
#include "database/quotes.h"
#include "database/xml.h"
#include "runtime/sysobjects.h"
#include "runtime/exceptions.h"
#include "runtime/log.h"
#include "runtime/progress.h"
#include "runtime/text.h"

namespace {

// The ADO back ends take a bracketed name through their quote translation unchanged.
std::wstring quotedName(IDatabaseProvider& provider, const std::wstring& name) {
    return provider.name() == L"MySQL" ? backQuoted(name) : bracketedName(name);
}

}  // namespace

namespace {

// A text with a CR goes as base64: a reader turns a bare CR into LF, and
// MSXML's reader (Wine's, measured) does so even to a character reference
// after other text, and slows down with the square of the references in one text.
bool carriable(const std::wstring& text) { return isXmlText(text) && text.find(L'\r') == std::wstring::npos; }

// A column's values as a document carries them.
class FieldValues {
public:
    explicit FieldValues(IDatabaseRecordSet& records) : records_(records), mysql_(dynamic_cast<VMySQLRecordSet*>(&records)) {
        for (unsigned i = 0; mysql_ && i < records.fieldCount(); ++i) kinds_.push_back(mysql_->columnKind(i));
    }
    // The current row's value of the column; false for NULL. A value that
    // XML 1.0 cannot carry as text comes as base64 with encoding naming it:
    // "base64" for text (its UTF-8 bytes), "base64-binary" for bytes.
    bool get(unsigned column, std::wstring& value, const wchar_t*& encoding) {
        encoding = nullptr;
        if (!mysql_) {
            if (!records_.tryGetValue(column, value, false)) return false;
            if (!carriable(value)) {
                value = base64Encode(cstr(value, CP_UTF8));
                encoding = L"base64";
            }
            return true;
        }
        if (!mysql_->rawValue(column, bytes_)) return false;
        const VMySQLRecordSet::ColumnKind kind = kinds_[column];
        if (kind != VMySQLRecordSet::ColumnKind::Bytes && xmlTextFromUtf8(bytes_, value) && carriable(value)) return true;
        value = base64Encode(bytes_);
        encoding = kind == VMySQLRecordSet::ColumnKind::Text ? L"base64" : L"base64-binary";
        return true;
    }

private:
    IDatabaseRecordSet& records_;
    VMySQLRecordSet* mysql_;
    std::vector<VMySQLRecordSet::ColumnKind> kinds_;
    std::string bytes_;
};

const std::wstring lineBreak = L"\n";

// A line break between rows: MSXML's reader slows down far more than
// linearly on one long line.
void breakLine(ISAXContentHandler* handler) { checkCom(handler->ignorableWhitespace(lineBreak.c_str(), 1)); }

}  // namespace

unsigned long long writeTableData(IDatabaseProvider& provider, ISAXContentHandler* handler, const std::wstring& table) {
    if (table == counterTableName) return 0;
    // Rows stream from the MySQL server: a table is never held whole.
    auto* mysql = dynamic_cast<MySQLDatabaseProvider*>(&provider);
    const std::wstring select = L"select * from " + quotedName(provider, table);
    RecordSetRef records(mysql ? mysql->queryStreaming(select) : provider.query(select));
    SaxEvents events(handler);
    SaxAttributeList attributes;
    attributes.add(L"name", table);
    events.startElement(L"table", attributes);
    breakLine(handler);
    const unsigned columns = records->fieldCount();
    std::vector<std::wstring> names;
    for (unsigned i = 0; i < columns; ++i) names.push_back(records->fieldName(i));
    FieldValues values(*records.get());
    unsigned long long rows = 0, bytes = 0;
    std::wstring value;
    const wchar_t* encoding = nullptr;
    while (records->next()) {
        attributes.clear();
        events.startElement(L"row", attributes);
        for (unsigned i = 0; i < columns; ++i) {
            attributes.clear();
            attributes.add(L"name", names[i]);
            bool isNull = !values.get(i, value, encoding);
            if (isNull) attributes.add(L"isnull", L"true");
            if (encoding) attributes.add(L"encoding", encoding);
            events.startElement(L"field", attributes);
            if (!isNull) events.characters(value);
            bytes += isNull ? 0 : value.size();
            events.endElement(L"field");
        }
        events.endElement(L"row");
        breakLine(handler);
        ++rows;
        progress::note(progress::Step::Row, table, bytes);
        bytes = 0;
    }
    events.endElement(L"table");
    breakLine(handler);
    return rows;
}

std::vector<std::wstring> mySQLTables(IDatabaseProvider& provider) {
    std::vector<std::wstring> tables;
    RecordSetRef records(provider.query(L"SHOW FULL TABLES"));
    // A view is no table: its rows are another table's, and writing them back
    // would write through the view.
    while (records->next()) {
        std::wstring table = records->getValue(0, L"", false);
        if (records->fieldCount() < 2 || records->getValue(1, L"", false) == L"BASE TABLE")
            tables.push_back(table);
        else
            logMessage(Warning, L"View %ls is left out of the export: only base tables are exported", table.c_str());
    }
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
    {
        // Engine and collation: what the schema document lacks, in attributes older readers ignore.
        std::wstring pattern;
        for (wchar_t c : provider.escape(table)) pattern += (c == L'_' || c == L'%' ? L"\\" : L"") + std::wstring(1, c);
        RecordSetRef status(provider.query(L"SHOW TABLE STATUS LIKE '" + pattern + L"'"));
        if (status->next()) addColumns(attributes, *status.get(), {{L"Engine", L"engine"}, {L"Collation", L"collation"}});
    }
    events.startElement(L"table", attributes);
    breakLine(handler);
    unsigned count = 0;
    {
        RecordSetRef columns(provider.query(L"SHOW FULL COLUMNS FROM " + backQuoted(table)));
        while (columns->next()) {
            attributes.clear();
            addColumns(attributes, *columns.get(),
                       {{L"Field", L"name"}, {L"Type", L"type"}, {L"Null", L"null"}, {L"Collation", L"collation"}});
            int index = columns->fieldIndex(L"Default");
            std::wstring byDefault;
            bool hasDefault = index >= 0 && columns->tryGetValue(static_cast<unsigned>(index), byDefault, false);
            attributes.add(L"default", schemaDefault(byDefault));
            // An empty text is a default of its own, not the lack of one.
            if (hasDefault && byDefault.empty()) attributes.add(L"empty_default", L"yes");
            addColumns(attributes, *columns.get(), {{L"Extra", L"extra"}});
            events.startElement(L"column", attributes);
            events.endElement(L"column");
            breakLine(handler);
            ++count;
        }
    }
    RecordSetRef indexes(provider.query(L"SHOW INDEX FROM " + backQuoted(table)));
    while (indexes->next()) {
        attributes.clear();
        addColumns(attributes, *indexes.get(),
                   {{L"Key_name", L"key_name"}, {L"Column_name", L"column_name"}, {L"Non_unique", L"non_unique"},
                    {L"Collation", L"Collation"}, {L"Null", L"null"}, {L"Sub_part", L"sub_part"},
                    {L"Index_type", L"index_type"}});
        events.startElement(L"index", attributes);
        events.endElement(L"index");
        breakLine(handler);
    }
    events.endElement(L"table");
    breakLine(handler);
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
    RecordSetRef records(query(L"select * from " + quotedName(*this, table)));
    ComPtr<IXMLDOMElement> tableElement = newElement(document.get(), L"table");
    setAttribute(tableElement.get(), L"name", table);
    const unsigned columns = records->fieldCount();
    std::vector<std::wstring> names;
    for (unsigned i = 0; i < columns; ++i) names.push_back(records->fieldName(i));
    std::wstring value;
    const wchar_t* encoding = nullptr;
    FieldValues values(*records.get());
    while (records->next()) {
        ComPtr<IXMLDOMElement> row = newElement(document.get(), L"row");
        for (unsigned i = 0; i < columns; ++i) {
            ComPtr<IXMLDOMElement> field = newElement(document.get(), L"field");
            setAttribute(field.get(), L"name", names[i]);
            if (values.get(i, value, encoding)) {
                if (encoding) setAttribute(field.get(), L"encoding", encoding);
                setAttribute(field.get(), L"value", value);
            } else {
                setAttribute(field.get(), L"isnull", L"true");
            }
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

// A file written under a temporary name, removed again unless it was put in place.
class TemporaryFile {
public:
    TemporaryFile(const std::wstring& directory, const wchar_t* name)
        : path_(directory + L"\\" + name + format(L".%lu.partial", GetCurrentProcessId())),
          final_(directory + L"\\" + name) {}
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (!placed_) DeleteFileW(path_.c_str());
    }
    const std::wstring& path() const { return path_; }
    void place() {
        if (!MoveFileExW(path_.c_str(), final_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            throwOSError(L"MoveFileExW " + final_, GetLastError(), VLOCATION("exportMySQLDatabase"));
        placed_ = true;
    }

private:
    std::wstring path_, final_;
    bool placed_ = false;
};

}  // namespace

// Both documents are written under temporary names and put in place only
// when both are complete: a failed export leaves the previous pair, never a
// truncated or mismatched one.
void exportMySQLDatabase(IDatabaseProvider& provider, const std::wstring& directory,
                         const ExportProgress& schemaProgress, const ExportProgress& dataProgress) {
    createDirectories(directory);
    const std::vector<std::wstring> tables = mySQLTables(provider);
    TemporaryFile schema(directory, L"schema.xml"), data(directory, L"data.xml");
    writeXmlDocument(schema.path(), L"schema", [&](ISAXContentHandler* handler) {
        for (const std::wstring& table : tables) {
            if (table == counterTableName) continue;  // every schema import makes its own
            unsigned columns = writeMySQLTableSchema(provider, handler, table);
            if (schemaProgress) schemaProgress(table, columns);
        }
    });
    writeXmlDocument(data.path(), L"data", [&](ISAXContentHandler* handler) {
        for (const std::wstring& table : tables) {
            if (table == counterTableName) continue;
            unsigned long long rows = writeTableData(provider, handler, table);
            if (dataProgress) dataProgress(table, rows);
        }
    });
    data.place();
    schema.place();
}
