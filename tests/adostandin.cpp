#include "adostandin.h"

#include <windows.h>
#include <adoint_backcompat.h>
#include <adoctint.h>

#include <cstdint>
#include <cstring>

#include "database/ado.h"

namespace adostandin {

namespace {

Script* current = nullptr;
AdoObjectFactory previousFactory = nullptr;

std::wstring fromBstr(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }
BSTR toBstr(const std::wstring& text) { return SysAllocStringLen(text.data(), static_cast<UINT>(text.size())); }

void unexpected(const std::wstring& what) { current->unexpected.push_back(what); }

bool failsOn(const std::wstring& text) {
    for (const std::wstring& part : current->failing)
        if (text.find(part) != std::wstring::npos) {
            current->currentErrors = current->errorDescriptions;
            return true;
        }
    return false;
}

// The vtable slot of a virtual member function: g++ encodes it in the
// member pointer as 1 + the byte offset into the vtable.
template <class Member>
size_t slotOf(Member member) {
    static_assert(sizeof(Member) == 2 * sizeof(void*), "an Itanium-style member pointer");
    uintptr_t raw = 0;
    std::memcpy(&raw, &member, sizeof raw);
    return (raw - 1) / sizeof(void*);
}

const size_t slotCount = 200;

// Every object starts with this: the vtable, the count, its interface id.
struct Head {
    void** vtable;
    LONG references;
    const IID* iid;
    void (*destroy)(Head*);
};

HRESULT STDMETHODCALLTYPE queryInterface(Head* self, REFIID iid, void** object) {
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == *self->iid) {
        ++self->references;
        *object = self;
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}
ULONG STDMETHODCALLTYPE addRef(Head* self) { return static_cast<ULONG>(++self->references); }
ULONG STDMETHODCALLTYPE release(Head* self) {
    LONG left = --self->references;
    if (left == 0) self->destroy(self);
    return static_cast<ULONG>(left);
}
HRESULT STDMETHODCALLTYPE notImplemented(Head*) {
    unexpected(L"a slot the stand-in does not implement");
    return E_NOTIMPL;
}

struct Vtable {
    void* slots[slotCount];
    Vtable() {
        for (void*& slot : slots) slot = reinterpret_cast<void*>(&notImplemented);
        slots[0] = reinterpret_cast<void*>(&queryInterface);
        slots[1] = reinterpret_cast<void*>(&addRef);
        slots[2] = reinterpret_cast<void*>(&release);
    }
    template <class Member, class Function>
    Vtable& set(Member member, Function function) {
        size_t slot = slotOf(member);
        if (slot >= slotCount) throw "vtable too small";
        slots[slot] = reinterpret_cast<void*>(function);
        return *this;
    }
};

template <class T>
T* make(void** vtable, const IID& iid) {
    T* object = new T();
    object->head.vtable = vtable;
    object->head.references = 1;
    object->head.iid = &iid;
    object->head.destroy = [](Head* head) {
        --current->liveObjects;
        delete reinterpret_cast<T*>(head);
    };
    ++current->liveObjects;
    return object;
}

template <class T>
void addRefObject(T* object) {
    ++object->head.references;
}
template <class T>
void releaseObject(T* object) {
    if (object) release(&object->head);
}

// ----------------------------------------------------------------- objects

const IID errorIid = {0x00000500, 0, 0x0010, {0x80, 0, 0, 0xAA, 0, 0x6D, 0x2E, 0xA4}};
const IID errorsIid = {0x00000501, 0, 0x0010, {0x80, 0, 0, 0xAA, 0, 0x6D, 0x2E, 0xA4}};
const IID fieldIid = {0x0000054C, 0, 0x0010, {0x80, 0, 0, 0xAA, 0, 0x6D, 0x2E, 0xA4}};
const IID fieldsIid = {0x0000054D, 0, 0x0010, {0x80, 0, 0, 0xAA, 0, 0x6D, 0x2E, 0xA4}};
const IID propertyIid = {0x00000503, 0, 0x0010, {0x80, 0, 0, 0xAA, 0, 0x6D, 0x2E, 0xA4}};
const IID propertiesIid = {0x00000504, 0, 0x0010, {0x80, 0, 0, 0xAA, 0, 0x6D, 0x2E, 0xA4}};
const IID tableIid = {0x00000610, 0, 0x0010, {0x80, 0, 0, 0xAA, 0, 0x6D, 0x2E, 0xA4}};
const IID tablesIid = {0x00000611, 0, 0x0010, {0x80, 0, 0, 0xAA, 0, 0x6D, 0x2E, 0xA4}};
const IID columnIid = {0x0000061C, 0, 0x0010, {0x80, 0, 0, 0xAA, 0, 0x6D, 0x2E, 0xA4}};
const IID columnsIid = {0x0000061D, 0, 0x0010, {0x80, 0, 0, 0xAA, 0, 0x6D, 0x2E, 0xA4}};

struct ErrorObject {
    Head head;
    std::wstring description;
};
struct ErrorsObject {
    Head head;
    std::vector<std::wstring> entries;
};
struct PropertyObject {
    Head head;
    std::wstring name;
};
struct PropertiesObject {
    Head head;
};
struct RecordsetObject {
    Head head;
    Rows result;
    long position = 0;
    bool open = false;
    long cursorLocation = 2;
};
struct FieldsObject {
    Head head;
    RecordsetObject* recordset = nullptr;
};
struct FieldObject {
    Head head;
    RecordsetObject* recordset = nullptr;
    size_t column = 0;
};
struct ConnectionObject {
    Head head;
    LONG state = 0;
};
struct CatalogObject {
    Head head;
};
struct TablesObject {
    Head head;
};
struct TableObject {
    Head head;
    size_t table = 0;
};
struct ColumnsObject {
    Head head;
    size_t table = 0;
};
struct ColumnObject {
    Head head;
    int type = 0;
};

// The entry an index names: a number, or a name to look up.
bool resolveIndex(const VARIANT& index, const std::vector<std::wstring>& names, size_t& found) {
    if (index.vt == VT_I4 || index.vt == VT_I2) {
        long value = index.vt == VT_I4 ? index.lVal : index.iVal;
        if (value < 0 || static_cast<size_t>(value) >= names.size()) return false;
        found = static_cast<size_t>(value);
        return true;
    }
    if (index.vt == VT_BSTR) {
        for (size_t i = 0; i < names.size(); ++i)
            if (_wcsicmp(names[i].c_str(), fromBstr(index.bstrVal).c_str()) == 0) {
                found = i;
                return true;
            }
        return false;
    }
    unexpected(L"an index of type " + std::to_wstring(index.vt));
    return false;
}

const HRESULT itemNotFound = static_cast<HRESULT>(0x800A0CC1);

void** errorVtable();
void** errorsVtable();
void** propertyVtable();
void** propertiesVtable();
void** recordsetVtable();
void** fieldsVtable();
void** fieldVtable();
void** connectionVtable();
void** catalogVtable();
void** tablesVtable();
void** tableVtable();
void** columnsVtable();
void** columnVtable();

// Errors
HRESULT STDMETHODCALLTYPE errorDescription(ErrorObject* self, BSTR* text) {
    *text = toBstr(self->description);
    return S_OK;
}
HRESULT STDMETHODCALLTYPE errorsCount(ErrorsObject* self, long* count) {
    *count = static_cast<long>(self->entries.size());
    return S_OK;
}
HRESULT STDMETHODCALLTYPE errorsItem(ErrorsObject* self, VARIANT index, ADOError** item) {
    if (index.vt != VT_I4 || index.lVal < 0 || static_cast<size_t>(index.lVal) >= self->entries.size())
        return itemNotFound;
    auto* error = make<ErrorObject>(errorVtable(), errorIid);
    error->description = self->entries[static_cast<size_t>(index.lVal)];
    *item = reinterpret_cast<ADOError*>(error);
    return S_OK;
}

// Properties
HRESULT STDMETHODCALLTYPE propertyPutValue(PropertyObject* self, VARIANT value) {
    VARIANT text;
    VariantInit(&text);
    VariantChangeType(&text, &value, 0, VT_BSTR);
    current->calls.push_back(L"Property " + self->name + L"=" + fromBstr(text.bstrVal) +
                             (value.vt == VT_I4 ? L"" : L" (not an int)"));
    VariantClear(&text);
    return S_OK;
}
HRESULT STDMETHODCALLTYPE propertiesItem(PropertiesObject*, VARIANT index, ADOProperty** item) {
    if (index.vt != VT_BSTR) {
        unexpected(L"a property asked for by number");
        return itemNotFound;
    }
    auto* property = make<PropertyObject>(propertyVtable(), propertyIid);
    property->name = fromBstr(index.bstrVal);
    *item = reinterpret_cast<ADOProperty*>(property);
    return S_OK;
}

// Recordset
HRESULT STDMETHODCALLTYPE recordsetPutCursorLocation(RecordsetObject* self, CursorLocationEnum location) {
    self->cursorLocation = location;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE recordsetOpen(RecordsetObject* self, VARIANT source, VARIANT connection,
                                        CursorTypeEnum cursor, LockTypeEnum lock, LONG options) {
    if (source.vt != VT_BSTR || connection.vt != VT_DISPATCH || !connection.pdispVal)
        unexpected(L"Recordset.Open without a statement and a connection");
    if (cursor != adOpenStatic || lock != adLockOptimistic || options != adCmdUnknown || self->cursorLocation != adUseClient)
        unexpected(L"Recordset.Open with other cursor, lock, options or location");
    std::wstring statement = fromBstr(source.bstrVal);
    current->calls.push_back(L"Query " + statement);
    current->currentErrors.clear();
    if (failsOn(statement)) return E_FAIL;
    auto found = current->results.find(statement);
    if (found != current->results.end()) self->result = found->second;
    self->open = true;
    self->position = 0;
    return S_OK;
}
bool atEnd(RecordsetObject* self) {
    return self->position < 0 || self->position >= static_cast<long>(self->result.rows.size());
}
HRESULT STDMETHODCALLTYPE recordsetEof(RecordsetObject* self, VARIANT_BOOL* value) {
    *value = self->position >= static_cast<long>(self->result.rows.size()) ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE recordsetBof(RecordsetObject* self, VARIANT_BOOL* value) {
    *value = self->position < 0 || self->result.rows.empty() ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE recordsetMoveNext(RecordsetObject* self) {
    if (self->position >= static_cast<long>(self->result.rows.size())) return static_cast<HRESULT>(0x800A0BCD);
    ++self->position;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE recordsetMoveFirst(RecordsetObject* self) {
    self->position = 0;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE recordsetMoveLast(RecordsetObject* self) {
    if (self->result.rows.empty()) return static_cast<HRESULT>(0x800A0BCD);
    self->position = static_cast<long>(self->result.rows.size()) - 1;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE recordsetRecordCount(RecordsetObject* self, ADO_LONGPTR* count) {
    *count = static_cast<ADO_LONGPTR>(self->result.rows.size());
    return S_OK;
}
HRESULT STDMETHODCALLTYPE recordsetFields(RecordsetObject* self, ADOFields** fields) {
    auto* object = make<FieldsObject>(fieldsVtable(), fieldsIid);
    object->recordset = self;
    addRefObject(self);
    object->head.destroy = [](Head* head) {
        --current->liveObjects;
        auto* fieldsObject = reinterpret_cast<FieldsObject*>(head);
        releaseObject(fieldsObject->recordset);
        delete fieldsObject;
    };
    *fields = reinterpret_cast<ADOFields*>(object);
    return S_OK;
}
HRESULT STDMETHODCALLTYPE recordsetClose(RecordsetObject* self) {
    self->open = false;
    return S_OK;
}

// Fields and Field
HRESULT STDMETHODCALLTYPE fieldsCount(FieldsObject* self, long* count) {
    *count = static_cast<long>(self->recordset->result.names.size());
    return S_OK;
}
HRESULT STDMETHODCALLTYPE fieldsItem(FieldsObject* self, VARIANT index, ADOField** item) {
    size_t found = 0;
    if (!resolveIndex(index, self->recordset->result.names, found)) return itemNotFound;
    auto* field = make<FieldObject>(fieldVtable(), fieldIid);
    field->recordset = self->recordset;
    field->column = found;
    addRefObject(self->recordset);
    field->head.destroy = [](Head* head) {
        --current->liveObjects;
        auto* fieldObject = reinterpret_cast<FieldObject*>(head);
        releaseObject(fieldObject->recordset);
        delete fieldObject;
    };
    *item = reinterpret_cast<ADOField*>(field);
    return S_OK;
}
HRESULT STDMETHODCALLTYPE fieldName(FieldObject* self, BSTR* name) {
    *name = toBstr(self->recordset->result.names[self->column]);
    return S_OK;
}
HRESULT STDMETHODCALLTYPE fieldType(FieldObject* self, DataTypeEnum* type) {
    const auto& types = self->recordset->result.types;
    *type = static_cast<DataTypeEnum>(self->column < types.size() ? types[self->column] : adVarWChar);
    return S_OK;
}
HRESULT STDMETHODCALLTYPE fieldValue(FieldObject* self, VARIANT* value) {
    RecordsetObject* records = self->recordset;
    VariantInit(value);
    if (atEnd(records)) return static_cast<HRESULT>(0x800A0BCD);  // adErrNoCurrentRecord
    const Cell& cell = records->result.rows[static_cast<size_t>(records->position)][self->column];
    switch (cell.kind) {
    case Cell::Null: value->vt = VT_NULL; break;
    case Cell::Text:
        value->vt = VT_BSTR;
        value->bstrVal = toBstr(cell.text);
        break;
    case Cell::Date:
        value->vt = VT_DATE;
        value->date = cell.date;
        break;
    case Cell::Integer:
        value->vt = VT_I8;
        value->llVal = cell.number;
        break;
    case Cell::Bytes: {
        SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(cell.bytes.size()));
        void* data = nullptr;
        SafeArrayAccessData(array, &data);
        if (!cell.bytes.empty()) std::memcpy(data, cell.bytes.data(), cell.bytes.size());
        SafeArrayUnaccessData(array);
        value->vt = VT_ARRAY | VT_UI1;
        value->parray = array;
        break;
    }
    }
    return S_OK;
}

// Connection
HRESULT STDMETHODCALLTYPE connectionPutCursorLocation(ConnectionObject*, CursorLocationEnum location) {
    current->calls.push_back(L"CursorLocation " + std::to_wstring(location));
    return S_OK;
}
HRESULT STDMETHODCALLTYPE connectionPutConnectionTimeout(ConnectionObject*, LONG seconds) {
    current->calls.push_back(L"ConnectionTimeout " + std::to_wstring(seconds));
    return S_OK;
}
HRESULT STDMETHODCALLTYPE connectionPutCommandTimeout(ConnectionObject*, LONG seconds) {
    current->calls.push_back(L"CommandTimeout " + std::to_wstring(seconds));
    return S_OK;
}
HRESULT STDMETHODCALLTYPE connectionOpen(ConnectionObject* self, BSTR text, BSTR login, BSTR password, long options) {
    if (options != -1) unexpected(L"Open options " + std::to_wstring(options));
    std::wstring connectionString = fromBstr(text);
    current->calls.push_back(L"Open " + connectionString + L"|" + fromBstr(login) + L"|" + fromBstr(password));
    current->currentErrors.clear();
    if (failsOn(connectionString)) return E_FAIL;
    self->state = 1;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE connectionExecute(ConnectionObject* self, BSTR text, VARIANT* affected, long options,
                                            _ADORecordset** records) {
    if (!records) return E_POINTER;  // real ADO crashes here; the back ends must never do it
    *records = nullptr;
    if (affected || options != adExecuteNoRecords) unexpected(L"Execute with records affected or other options");
    if (!self->state) unexpected(L"Execute on a closed connection");
    std::wstring statement = fromBstr(text);
    current->calls.push_back(L"Execute " + statement);
    current->currentErrors.clear();
    if (failsOn(statement)) return E_FAIL;
    *records = reinterpret_cast<_ADORecordset*>(make<RecordsetObject>(recordsetVtable(), adoRecordsetInterface));
    return S_OK;
}
HRESULT STDMETHODCALLTYPE connectionBegin(ConnectionObject*, long* level) {
    current->calls.push_back(L"BeginTrans");
    *level = 1;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE connectionCommit(ConnectionObject*) {
    current->calls.push_back(L"CommitTrans");
    return S_OK;
}
HRESULT STDMETHODCALLTYPE connectionRollback(ConnectionObject*) {
    current->calls.push_back(L"RollbackTrans");
    return S_OK;
}
HRESULT STDMETHODCALLTYPE connectionState(ConnectionObject* self, LONG* state) {
    *state = self->state;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE connectionClose(ConnectionObject* self) {
    current->calls.push_back(L"Close");
    if (!self->state) return static_cast<HRESULT>(0x800A0E78);  // adErrObjectClosed
    self->state = 0;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE connectionErrors(ConnectionObject*, ADOErrors** errors) {
    auto* object = make<ErrorsObject>(errorsVtable(), errorsIid);
    object->entries = current->currentErrors;
    *errors = reinterpret_cast<ADOErrors*>(object);
    return S_OK;
}
HRESULT STDMETHODCALLTYPE connectionProperties(ConnectionObject*, ADOProperties** properties) {
    *properties = reinterpret_cast<ADOProperties*>(make<PropertiesObject>(propertiesVtable(), propertiesIid));
    return S_OK;
}

// Catalog
std::vector<std::wstring> catalogNames() {
    std::vector<std::wstring> names;
    for (const CatalogTable& table : current->catalog) names.push_back(table.name);
    return names;
}
HRESULT STDMETHODCALLTYPE catalogPutConnection(CatalogObject*, VARIANT connection) {
    if (connection.vt != VT_BSTR) {
        unexpected(L"a catalogue connection that is not a string");
        return E_INVALIDARG;
    }
    std::wstring text = fromBstr(connection.bstrVal);
    current->calls.push_back(L"Catalog " + text);
    return failsOn(text) ? E_FAIL : S_OK;
}
HRESULT STDMETHODCALLTYPE catalogTables(CatalogObject*, ADOTables** tables) {
    *tables = reinterpret_cast<ADOTables*>(make<TablesObject>(tablesVtable(), tablesIid));
    return S_OK;
}
HRESULT STDMETHODCALLTYPE catalogCreate(CatalogObject*, BSTR text, VARIANT* connection) {
    std::wstring connectionString = fromBstr(text);
    current->calls.push_back(L"Create " + connectionString);
    if (connection) VariantInit(connection);
    return failsOn(connectionString) ? E_FAIL : S_OK;
}
HRESULT STDMETHODCALLTYPE tablesCount(TablesObject*, long* count) {
    *count = static_cast<long>(current->catalog.size());
    return S_OK;
}
HRESULT STDMETHODCALLTYPE tablesItem(TablesObject*, VARIANT index, Table** item) {
    size_t found = 0;
    if (!resolveIndex(index, catalogNames(), found)) return itemNotFound;
    auto* table = make<TableObject>(tableVtable(), tableIid);
    table->table = found;
    *item = reinterpret_cast<Table*>(table);
    return S_OK;
}
HRESULT STDMETHODCALLTYPE tableName(TableObject* self, BSTR* name) {
    *name = toBstr(current->catalog[self->table].name);
    return S_OK;
}
HRESULT STDMETHODCALLTYPE tableType(TableObject* self, BSTR* type) {
    *type = toBstr(current->catalog[self->table].type);
    return S_OK;
}
HRESULT STDMETHODCALLTYPE tableColumns(TableObject* self, ADOColumns** columns) {
    auto* object = make<ColumnsObject>(columnsVtable(), columnsIid);
    object->table = self->table;
    *columns = reinterpret_cast<ADOColumns*>(object);
    return S_OK;
}
HRESULT STDMETHODCALLTYPE columnsItem(ColumnsObject* self, VARIANT index, Column** item) {
    std::vector<std::wstring> names;
    for (const CatalogColumn& column : current->catalog[self->table].columns) names.push_back(column.name);
    size_t found = 0;
    if (!resolveIndex(index, names, found)) return itemNotFound;
    auto* column = make<ColumnObject>(columnVtable(), columnIid);
    column->type = current->catalog[self->table].columns[found].type;
    *item = reinterpret_cast<Column*>(column);
    return S_OK;
}
HRESULT STDMETHODCALLTYPE columnType(ColumnObject* self, DataTypeEnum* type) {
    *type = static_cast<DataTypeEnum>(self->type);
    return S_OK;
}

#define STANDIN_VTABLE(function, ...)        \
    void** function() {                       \
        static Vtable table = Vtable()__VA_ARGS__; \
        return table.slots;                   \
    }

STANDIN_VTABLE(errorVtable, .set(&ADOError::get_Description, &errorDescription))
STANDIN_VTABLE(errorsVtable, .set(&ADOErrors::get_Count, &errorsCount).set(&ADOErrors::get_Item, &errorsItem))
STANDIN_VTABLE(propertyVtable, .set(&ADOProperty::put_Value, &propertyPutValue))
STANDIN_VTABLE(propertiesVtable, .set(&ADOProperties::get_Item, &propertiesItem))
STANDIN_VTABLE(recordsetVtable,
               .set(&_ADORecordset::put_CursorLocation, &recordsetPutCursorLocation)
                   .set(&_ADORecordset::Open, &recordsetOpen)
                   .set(&_ADORecordset::get_EOF, &recordsetEof)
                   .set(&_ADORecordset::get_BOF, &recordsetBof)
                   .set(&_ADORecordset::MoveNext, &recordsetMoveNext)
                   .set(&_ADORecordset::MoveFirst, &recordsetMoveFirst)
                   .set(&_ADORecordset::MoveLast, &recordsetMoveLast)
                   .set(&_ADORecordset::get_RecordCount, &recordsetRecordCount)
                   .set(&_ADORecordset::get_Fields, &recordsetFields)
                   .set(&_ADORecordset::Close, &recordsetClose))
STANDIN_VTABLE(fieldsVtable, .set(&ADOFields::get_Count, &fieldsCount).set(&ADOFields::get_Item, &fieldsItem))
STANDIN_VTABLE(fieldVtable, .set(&ADOField::get_Name, &fieldName)
                                .set(&ADOField::get_Type, &fieldType)
                                .set(&ADOField::get_Value, &fieldValue))
STANDIN_VTABLE(connectionVtable,
               .set(&_ADOConnection::put_CursorLocation, &connectionPutCursorLocation)
                   .set(&_ADOConnection::put_ConnectionTimeout, &connectionPutConnectionTimeout)
                   .set(&_ADOConnection::put_CommandTimeout, &connectionPutCommandTimeout)
                   .set(&_ADOConnection::Open, &connectionOpen)
                   .set(&_ADOConnection::Execute, &connectionExecute)
                   .set(&_ADOConnection::BeginTrans, &connectionBegin)
                   .set(&_ADOConnection::CommitTrans, &connectionCommit)
                   .set(&_ADOConnection::RollbackTrans, &connectionRollback)
                   .set(&_ADOConnection::get_State, &connectionState)
                   .set(&_ADOConnection::Close, &connectionClose)
                   .set(&_ADOConnection::get_Errors, &connectionErrors)
                   .set(&_ADOConnection::get_Properties, &connectionProperties))
STANDIN_VTABLE(catalogVtable, .set(&_ADOCatalog::put_ActiveConnection, &catalogPutConnection)
                                  .set(&_ADOCatalog::get_Tables, &catalogTables)
                                  .set(&_ADOCatalog::Create, &catalogCreate))
STANDIN_VTABLE(tablesVtable, .set(&ADOTables::get_Count, &tablesCount).set(&ADOTables::get_Item, &tablesItem))
STANDIN_VTABLE(tableVtable, .set(&_ADOTable::get_Name, &tableName)
                                .set(&_ADOTable::get_Type, &tableType)
                                .set(&_ADOTable::get_Columns, &tableColumns))
STANDIN_VTABLE(columnsVtable, .set(&ADOColumns::get_Item, &columnsItem))
STANDIN_VTABLE(columnVtable, .set(&_ADOColumn::get_Type, &columnType))

HRESULT createObject(const CLSID& classId, IUnknown** object) {
    *object = nullptr;
    if (current->failCreation) return REGDB_E_CLASSNOTREG;
    if (classId == adoConnectionClass)
        *object = reinterpret_cast<IUnknown*>(make<ConnectionObject>(connectionVtable(), adoConnectionInterface));
    else if (classId == adoRecordsetClass)
        *object = reinterpret_cast<IUnknown*>(make<RecordsetObject>(recordsetVtable(), adoRecordsetInterface));
    else if (classId == adoxCatalogClass)
        *object = reinterpret_cast<IUnknown*>(make<CatalogObject>(catalogVtable(), adoxCatalogInterface));
    else
        return REGDB_E_CLASSNOTREG;
    return S_OK;
}

}  // namespace

std::vector<std::wstring> Script::statements() const {
    std::vector<std::wstring> found;
    for (const std::wstring& call : calls) {
        if (call.compare(0, 8, L"Execute ") == 0) found.push_back(call.substr(8));
        if (call.compare(0, 6, L"Query ") == 0) found.push_back(call.substr(6));
    }
    return found;
}

std::vector<std::wstring> Script::callsStartingWith(const std::wstring& prefix) const {
    std::vector<std::wstring> found;
    for (const std::wstring& call : calls)
        if (call.compare(0, prefix.size(), prefix) == 0) found.push_back(call);
    return found;
}

Scope::Scope() : script(*new Script()) {
    current = &script;
    previousFactory = setAdoObjectFactory(&createObject);
}

Scope::~Scope() {
    setAdoObjectFactory(previousFactory);
    // Objects a failed test leaked keep a script to talk to.
    if (script.liveObjects == 0) {
        current = nullptr;
        delete &script;
    }
}

}  // namespace adostandin
