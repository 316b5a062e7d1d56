#include "database/import/mysqlimport.h"

#include <cwctype>

#include "database/mysql.h"
#include "database/quotes.h"
#include "database/xml.h"
#include "runtime/exceptions.h"
#include "runtime/sysobjects.h"
#include "runtime/text.h"

std::wstring mySQLTableOptions(const std::wstring& serverVersion) {
    return compareVersions(serverVersion, L"4.1") >= 0 ? L"ENGINE=InnoDB DEFAULT CHARSET=utf8"
                                                       : L"TYPE=InnoDB DEFAULT CHARSET=utf8";
}

// ------------------------------------------------------------------- schema

MySQLSchemaImporter::MySQLSchemaImporter(IDatabaseProvider& provider, bool freshDatabase)
    : SchemaImporter(provider, freshDatabase), tableOptions_(mySQLTableOptions(provider.version())) {}

bool isPlainWord(const std::wstring& word) {
    if (word.empty()) return false;
    for (wchar_t c : word)
        if (!iswalnum(c) && c != L'_') return false;
    return true;
}

bool isColumnTypeText(const std::wstring& type) {
    int depth = 0;
    for (size_t i = 0; i < type.size(); ++i) {
        wchar_t c = type[i];
        if (c == L'\'') {
            if (depth != 1) return false;
            // A quoted member: a doubled quote and backslash escapes stay inside it.
            for (++i;; ++i) {
                if (i >= type.size()) return false;
                if (type[i] == L'\\') {
                    ++i;
                } else if (type[i] == L'\'') {
                    if (i + 1 >= type.size() || type[i + 1] != L'\'') break;
                    ++i;
                }
            }
            continue;
        }
        if (c == L'(' && ++depth > 1) return false;
        if (c == L')' && --depth < 0) return false;
        if (!iswalnum(c) && c != L'_' && c != L' ' && c != L'(' && c != L')' && c != L',') return false;
    }
    return depth == 0 && !type.empty();
}

bool isColumnExtraText(const std::wstring& extra) {
    if (extra.empty() || extra == L"auto_increment") return true;
    const std::wstring onUpdate = L"on update current_timestamp";
    if (!equalsIgnoreCase(extra.substr(0, onUpdate.size()), onUpdate)) return false;
    for (wchar_t c : extra.substr(onUpdate.size()))
        if (!iswdigit(c) && c != L'(' && c != L')') return false;
    return true;
}

namespace {

// A default as the statement writes it: time-stamp expressions and BIT
// literals as they are, anything else as an escaped text.
std::wstring defaultLiteral(IDatabaseProvider& provider, const std::wstring& value) {
    const std::wstring now = L"current_timestamp";
    if (value.size() >= now.size() && equalsIgnoreCase(value.substr(0, now.size()), now)) {
        bool plain = true;
        for (wchar_t c : value.substr(now.size())) plain = plain && (iswdigit(c) || c == L'(' || c == L')');
        if (plain) return value;
    }
    if (value.size() >= 3 && value.compare(0, 2, L"b'") == 0 && value.back() == L'\'' &&
        value.find_first_not_of(L"01", 2) == value.size() - 1)
        return value;
    return L"'" + provider.escape(value) + L"'";
}

}  // namespace

void MySQLSchemaImporter::tableAttributes(ISAXAttributes* attributes) {
    engine_ = saxAttribute(attributes, L"engine");
    collation_ = saxAttribute(attributes, L"collation");
}

void MySQLSchemaImporter::tableStarted() {
    keys_.clear();
    columnCount_ = 0;
}

// Column and key texts go into the statement only as quoted names, escaped
// texts or checked words: a document cannot make its own statement.
void MySQLSchemaImporter::column(ISAXAttributes* attributes) {
    ++columnCount_;
    const std::wstring name = saxAttribute(attributes, L"name"), type = saxAttribute(attributes, L"type");
    const std::wstring collation = saxAttribute(attributes, L"collation");
    std::wstring extra = saxAttribute(attributes, L"extra");
    // MySQL 8 marks expression defaults so; the default itself says it.
    if (extra.compare(0, 17, L"DEFAULT_GENERATED") == 0) extra.erase(0, extra.find_first_not_of(L' ', 17) == std::wstring::npos ? extra.size() : extra.find_first_not_of(L' ', 17));
    if (!isColumnTypeText(type) || (!collation.empty() && !isPlainWord(collation)) || !isColumnExtraText(extra))
        throw vexception(L"Unable to understand the definition of column " + name + L" of table " + table_,
                         VLOCATION("MySQLSchemaImporter::startElement"));
    std::wstring column = backQuoted(name) + L" " + type + L" ";
    if (!collation.empty()) column += L"COLLATE " + collation + L" ";
    if (saxAttribute(attributes, L"null") != L"YES") column += L"NOT NULL ";
    std::wstring byDefault = saxAttribute(attributes, L"default");
    if (!byDefault.empty())
        column += L"default " + (byDefault == L"CURRENT_TIMESTAMP" ? byDefault : defaultLiteral(provider_, byDefault)) + L" ";
    else if (saxAttribute(attributes, L"empty_default") == L"yes")
        column += L"default '' ";
    column += extra;
    addColumn(column, L",");
}

void MySQLSchemaImporter::index(const std::wstring& key, const std::wstring& column, ISAXAttributes* attributes) {
    const std::wstring kind = saxAttribute(attributes, L"index_type"), prefix = saxAttribute(attributes, L"sub_part");
    std::wstring part = backQuoted(column);
    // A spatial key lists a prefix length it does not take back.
    if (!prefix.empty() && prefix.find_first_not_of(L"0123456789") == std::wstring::npos && kind != L"SPATIAL")
        part += L"(" + prefix + L")";
    // Full-text and spatial keys have no order.
    if (kind != L"FULLTEXT" && kind != L"SPATIAL")
        part += saxAttribute(attributes, L"Collation") == L"A" ? L" ASC" : L" DESC";
    for (auto& known : keys_)
        if (known.first == key) {
            known.second += L", " + part;
            return;
        }
    std::wstring opening;
    if (key == L"PRIMARY")
        opening = L"PRIMARY KEY  (";
    else if (kind == L"FULLTEXT" || kind == L"SPATIAL")
        opening = kind + L" KEY " + backQuoted(key) + L"(";
    else
        opening = (saxAttribute(attributes, L"non_unique") == L"0" ? L"UNIQUE KEY " : L"KEY ") + backQuoted(key) + L"(";
    keys_.emplace_back(key, opening + part);
}

void MySQLSchemaImporter::tableEnded() {
    for (const auto& key : keys_) addColumn(key.second + L") ", L",");
    if (!freshDatabase_) provider_.execute(L"DROP TABLE IF EXISTS " + backQuoted(table_));
    std::wstring options = tableOptions_;
    if (isPlainWord(engine_) && isPlainWord(collation_)) options = L"ENGINE=" + engine_ + L" DEFAULT COLLATE=" + collation_;
    provider_.execute(L"CREATE TABLE " + backQuoted(table_) + L"(" + columns_ + L") " + options);
    keys_.clear();
    if (progress_) progress_(table_, columnCount_, 0);
}

// --------------------------------------------------------------------- data

MySQLDataImporter::MySQLDataImporter(IDatabaseProvider& provider, const std::wstring& database)
    : DataImporter(provider, database, L"`", L"`", "MySQLDataImporter::endElement", 318) {}

void MySQLDataImporter::checkInsert(const std::wstring& insert) {
    // A UTF-16 unit takes at most three bytes of UTF-8.
    if (statementLimit_ == 0 || insert.size() * 3 <= statementLimit_) return;
    unsigned long long bytes = cstr(insert, CP_UTF8).size();
    if (bytes > statementLimit_)
        throw vexception(format(L"The row's statement of %llu bytes exceeds the server's max_allowed_packet of %llu bytes",
                                bytes, statementLimit_),
                         VLOCATION("MySQLDataImporter::checkInsert"));
}

std::wstring MySQLDataImporter::bytesLiteral(const std::string& bytes) {
    static const wchar_t digits[] = L"0123456789ABCDEF";
    std::wstring literal = L"X'";
    literal.reserve(bytes.size() * 2 + 3);
    for (char byte : bytes) {
        literal += digits[static_cast<unsigned char>(byte) >> 4];
        literal += digits[static_cast<unsigned char>(byte) & 15];
    }
    return literal + L"'";
}

bool MySQLDataImporter::isView(const std::wstring& table) {
    // Servers before 5.0 have neither views nor information_schema.
    if (compareVersions(provider_.version(), L"5.0") < 0) return false;
    RecordSetRef records(provider_.query(
        L"SELECT TABLE_TYPE FROM information_schema.TABLES WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = '" +
        provider_.escape(table) + L"'"));
    return records->next() && records->getValue(0, L"", false) == L"VIEW";
}
