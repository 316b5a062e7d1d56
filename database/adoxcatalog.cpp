#include "database/adoxcatalog.h"

#include <windows.h>
#include <adoint_backcompat.h>
#include <adoctint.h>

#include "database/ado.h"
#include "runtime/comerror.h"
#include "runtime/exceptions.h"

namespace {

using adocall::BstrArgument;
using adocall::bstr;
using adocall::check;

// The collections hand out their entries typed as the coclass; what comes
// back is the entry's default interface.
Table** asTable(ComPtr<_ADOTable>& entry) { return reinterpret_cast<Table**>(entry.put()); }

ComPtr<_ADOCatalog> newCatalog() {
    ComPtr<_ADOCatalog> catalog;
    check(createAdoObject(adoxCatalogClass, adoxCatalogInterface, catalog.putVoid()));
    return catalog;
}

}  // namespace

std::wstring jetCatalogConnectionString(const std::wstring& file) {
    return L"Provider='Microsoft.Jet.OLEDB.4.0';Data Source='" + file + L"'";
}

JetCatalog::JetCatalog(const std::wstring& connectionString) : catalog_(newCatalog()) {
    BstrArgument connection(connectionString);
    check(catalog_->put_ActiveConnection(connection.value));
}

JetCatalog::~JetCatalog() = default;

bool JetCatalog::hasTable(const std::wstring& table) {
    ComPtr<ADOTables> tables;
    check(catalog_->get_Tables(tables.put()));
    BstrArgument name(table);
    ComPtr<_ADOTable> entry;
    return SUCCEEDED(tables->get_Item(name.value, asTable(entry))) && entry;
}

std::vector<std::wstring> JetCatalog::tables() {
    ComPtr<ADOTables> tables;
    check(catalog_->get_Tables(tables.put()));
    long count = 0;
    check(tables->get_Count(&count));
    std::vector<std::wstring> names;
    for (long i = 0; i < count; ++i) {
        VARIANT index;
        VariantInit(&index);
        index.vt = VT_I4;
        index.lVal = i;
        ComPtr<_ADOTable> entry;
        check(tables->get_Item(index, asTable(entry)));
        UniqueBstr type, name;
        check(entry->get_Type(type.put()));
        if (!type || std::wstring(type.get(), SysStringLen(type.get())) != L"TABLE") continue;
        check(entry->get_Name(name.put()));
        names.emplace_back(name.get() ? std::wstring(name.get(), SysStringLen(name.get())) : std::wstring());
    }
    return names;
}

int JetCatalog::columnType(const std::wstring& table, const std::wstring& column) {
    ComPtr<ADOTables> tables;
    check(catalog_->get_Tables(tables.put()));
    BstrArgument tableName(table);
    ComPtr<_ADOTable> entry;
    check(tables->get_Item(tableName.value, asTable(entry)));
    ComPtr<ADOColumns> columns;
    check(entry->get_Columns(columns.put()));
    BstrArgument columnName(column);
    ComPtr<_ADOColumn> found;
    check(columns->get_Item(columnName.value, reinterpret_cast<Column**>(found.put())));
    DataTypeEnum type = adEmpty;
    check(found->get_Type(&type));
    return static_cast<int>(type);
}

void JetCatalog::create(const std::wstring& connectionString) {
    ComPtr<_ADOCatalog> catalog = newCatalog();
    UniqueVariant created;
    check(catalog->Create(bstr(connectionString).get(), created.get()));
}
