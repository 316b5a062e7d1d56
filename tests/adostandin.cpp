#include "adostandin.h"

#include <windows.h>
#include <adoint_backcompat.h>
#include <adoctint.h>

#include <cstdint>
#include <cstring>

#include "database/ado.h"

namespace adostandin {

namespace {

#define METHOD HRESULT STDMETHODCALLTYPE

Script* current = nullptr;
AdoObjectFactory previousFactory = nullptr;

std::wstring fromBstr(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }
BSTR toBstr(const std::wstring& text) { return SysAllocStringLen(text.data(), static_cast<UINT>(text.size())); }
void unexpected(const std::wstring& what) { current->unexpected.push_back(what); }
void record(const std::wstring& call) { current->calls.push_back(call); }

bool failsOn(const std::wstring& text) {
    for (const std::wstring& part : current->failing)
        if (text.find(part) != std::wstring::npos) {
            current->currentErrors = current->errorDescriptions;
            return true;
        }
    return false;
}

const HRESULT itemNotFound = static_cast<HRESULT>(0x800A0CC1);
const HRESULT noCurrentRecord = static_cast<HRESULT>(0x800A0BCD);

// g++ encodes a virtual member pointer as 1 + the byte offset into the vtable.
template <class Member>
size_t slotOf(Member member) {
    static_assert(sizeof(Member) == 2 * sizeof(void*), "an Itanium-style member pointer");
    uintptr_t raw = 0;
    std::memcpy(&raw, &member, sizeof raw);
    return (raw - 1) / sizeof(void*);
}

// Every object starts with this; owner (a record set) is held until the object goes.
struct Head {
    void** vtable;
    LONG references;
    const IID* iid;
    void (*destroy)(Head*);
    Head* owner;
};

METHOD queryInterface(Head* self, REFIID iid, void** object) {
    *object = nullptr;
    if (iid != IID_IUnknown && iid != IID_IDispatch && iid != *self->iid) return E_NOINTERFACE;
    ++self->references;
    *object = self;
    return S_OK;
}
ULONG STDMETHODCALLTYPE addRef(Head* self) { return static_cast<ULONG>(++self->references); }
ULONG STDMETHODCALLTYPE release(Head* self) {
    LONG left = --self->references;
    if (left == 0) {
        Head* owner = self->owner;
        self->destroy(self);
        if (owner) release(owner);
    }
    return static_cast<ULONG>(left);
}
// Every slot no test needs.
METHOD notImplemented(Head*) {
    unexpected(L"a slot the stand-in does not implement");
    return E_NOTIMPL;
}

struct Vtable {
    void* slots[200];
    Vtable() {
        for (void*& slot : slots) slot = reinterpret_cast<void*>(&notImplemented);
        slots[0] = reinterpret_cast<void*>(&queryInterface);
        slots[1] = reinterpret_cast<void*>(&addRef);
        slots[2] = reinterpret_cast<void*>(&release);
    }
    template <class Member, class Function>
    Vtable& set(Member member, Function function) {
        size_t slot = slotOf(member);
        if (slot >= 200) throw "vtable too small";
        slots[slot] = reinterpret_cast<void*>(function);
        return *this;
    }
};

template <class T>
T* make(void** vtable, const IID& iid, Head* owner = nullptr) {
    T* object = new T();
    object->head = {vtable, 1, &iid, [](Head* head) {
                        --current->liveObjects;
                        delete reinterpret_cast<T*>(head);
                    },
                    owner};
    if (owner) ++owner->references;
    ++current->liveObjects;
    return object;
}

#define ADO_IID(n) {n, 0, 0x0010, {0x80, 0, 0, 0xAA, 0, 0x6D, 0x2E, 0xA4}}
const IID errorIid = ADO_IID(0x500), errorsIid = ADO_IID(0x501), propertyIid = ADO_IID(0x503),
          propertiesIid = ADO_IID(0x504), fieldIid = ADO_IID(0x54C), fieldsIid = ADO_IID(0x54D),
          tableIid = ADO_IID(0x610), tablesIid = ADO_IID(0x611), columnIid = ADO_IID(0x61C),
          columnsIid = ADO_IID(0x61D);

struct ErrorObject { Head head; std::wstring description; };
struct ErrorsObject { Head head; std::vector<std::wstring> entries; };
struct PropertyObject { Head head; std::wstring name; };
struct PlainObject { Head head; };  // properties, catalogue, tables
struct RecordsetObject { Head head; Rows result; long position = 0; long cursorLocation = 2; };
struct FieldObject { Head head; size_t column = 0; };  // also Fields, without a column
struct ConnectionObject { Head head; LONG state = 0; };
struct TableObject { Head head; size_t table = 0; };  // also Columns
struct ColumnObject { Head head; int type = 0; };

RecordsetObject* owner(FieldObject* self) { return reinterpret_cast<RecordsetObject*>(self->head.owner); }

// The entry an index names: a number, or a name to look up.
bool resolveIndex(const VARIANT& index, const std::vector<std::wstring>& names, size_t& found) {
    if (index.vt == VT_I4 && index.lVal >= 0 && static_cast<size_t>(index.lVal) < names.size()) {
        found = static_cast<size_t>(index.lVal);
        return true;
    }
    if (index.vt == VT_BSTR)
        for (size_t i = 0; i < names.size(); ++i)
            if (_wcsicmp(names[i].c_str(), fromBstr(index.bstrVal).c_str()) == 0) {
                found = i;
                return true;
            }
    if (index.vt != VT_I4 && index.vt != VT_BSTR) unexpected(L"an index of type " + std::to_wstring(index.vt));
    return false;
}

void **errorVtable(), **errorsVtable(), **propertyVtable(), **propertiesVtable(), **recordsetVtable(),
    **fieldsVtable(), **fieldVtable(), **tablesVtable(), **tableVtable(), **columnsVtable(), **columnVtable();

// Errors and properties
METHOD errorDescription(ErrorObject* self, BSTR* text) { *text = toBstr(self->description); return S_OK; }
METHOD errorsCount(ErrorsObject* self, long* count) { *count = static_cast<long>(self->entries.size()); return S_OK; }
METHOD errorsItem(ErrorsObject* self, VARIANT index, ADOError** item) {
    size_t found = 0;
    if (index.vt != VT_I4 || !resolveIndex(index, self->entries, found)) return itemNotFound;
    auto* error = make<ErrorObject>(errorVtable(), errorIid);
    error->description = self->entries[found];
    *item = reinterpret_cast<ADOError*>(error);
    return S_OK;
}
METHOD propertyPutValue(PropertyObject* self, VARIANT value) {
    UniqueVariant text;
    VariantChangeType(text.get(), &value, 0, VT_BSTR);
    record(L"Property " + self->name + L"=" + fromBstr(text.get()->bstrVal) +
           (value.vt == VT_I4 ? L"" : L" (not an int)"));
    return S_OK;
}
METHOD propertiesItem(PlainObject*, VARIANT index, ADOProperty** item) {
    if (index.vt != VT_BSTR) {
        unexpected(L"a property asked for by number");
        return itemNotFound;
    }
    auto* property = make<PropertyObject>(propertyVtable(), propertyIid);
    property->name = fromBstr(index.bstrVal);
    *item = reinterpret_cast<ADOProperty*>(property);
    return S_OK;
}

// Recordset, Fields and Field
METHOD recordsetPutLocation(RecordsetObject* self, CursorLocationEnum at) { self->cursorLocation = at; return S_OK; }
METHOD recordsetOpen(RecordsetObject* self, VARIANT source, VARIANT connection,
                                        CursorTypeEnum cursor, LockTypeEnum lock, LONG options) {
    if (source.vt != VT_BSTR || connection.vt != VT_DISPATCH || !connection.pdispVal)
        unexpected(L"Recordset.Open without a statement and a connection");
    if (cursor != adOpenStatic || lock != adLockOptimistic || options != adCmdUnknown || self->cursorLocation != adUseClient)
        unexpected(L"Recordset.Open with other cursor, lock, options or location");
    std::wstring statement = fromBstr(source.bstrVal);
    record(L"Query " + statement);
    current->currentErrors.clear();
    if (failsOn(statement)) return E_FAIL;
    auto found = current->results.find(statement);
    if (found != current->results.end()) self->result = found->second;
    self->position = 0;
    return S_OK;
}
long rowCount(RecordsetObject* self) { return static_cast<long>(self->result.rows.size()); }
METHOD recordsetEof(RecordsetObject* self, VARIANT_BOOL* value) {
    *value = self->position >= rowCount(self) ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}
METHOD recordsetBof(RecordsetObject* self, VARIANT_BOOL* value) {
    *value = self->position < 0 || rowCount(self) == 0 ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}
METHOD recordsetMoveNext(RecordsetObject* self) {
    if (self->position >= rowCount(self)) return noCurrentRecord;
    ++self->position;
    return S_OK;
}
METHOD recordsetMoveLast(RecordsetObject* self) {
    if (rowCount(self) == 0) return noCurrentRecord;
    self->position = rowCount(self) - 1;
    return S_OK;
}
METHOD recordsetRecordCount(RecordsetObject* self, ADO_LONGPTR* count) {
    *count = ADO_LONGPTR(rowCount(self));
    return S_OK;
}
METHOD recordsetFields(RecordsetObject* self, ADOFields** fields) {
    *fields = reinterpret_cast<ADOFields*>(make<FieldObject>(fieldsVtable(), fieldsIid, &self->head));
    return S_OK;
}
METHOD recordsetClose(RecordsetObject*) { return S_OK; }
METHOD fieldsCount(FieldObject* self, long* count) { *count = long(owner(self)->result.names.size()); return S_OK; }
METHOD fieldsItem(FieldObject* self, VARIANT index, ADOField** item) {
    size_t found = 0;
    if (!resolveIndex(index, owner(self)->result.names, found)) return itemNotFound;
    auto* field = make<FieldObject>(fieldVtable(), fieldIid, self->head.owner);
    field->column = found;
    *item = reinterpret_cast<ADOField*>(field);
    return S_OK;
}
METHOD fieldName(FieldObject* self, BSTR* name) {
    *name = toBstr(owner(self)->result.names[self->column]);
    return S_OK;
}
METHOD fieldType(FieldObject* self, DataTypeEnum* type) {
    *type = DataTypeEnum(owner(self)->result.types.at(self->column));
    return S_OK;
}
METHOD fieldValue(FieldObject* self, VARIANT* value) {
    RecordsetObject* records = owner(self);
    VariantInit(value);
    if (records->position < 0 || records->position >= rowCount(records)) return noCurrentRecord;
    const Cell& cell = records->result.rows[static_cast<size_t>(records->position)][self->column];
    switch (cell.kind) {
    case Cell::Null: value->vt = VT_NULL; break;
    case Cell::Text: value->vt = VT_BSTR; value->bstrVal = toBstr(cell.text); break;
    case Cell::Date: value->vt = VT_DATE; value->date = cell.date; break;
    case Cell::Integer: value->vt = VT_I8; value->llVal = cell.number; break;
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
template <const wchar_t* name>
METHOD recordNumber(ConnectionObject*, LONG value) { record(name + std::to_wstring(value)); return S_OK; }
const wchar_t cursorLocation[] = L"CursorLocation ", connectionTimeout[] = L"ConnectionTimeout ",
              commandTimeout[] = L"CommandTimeout ";
METHOD connectionOpen(ConnectionObject* self, BSTR text, BSTR login, BSTR password, long options) {
    if (options != -1) unexpected(L"Open options " + std::to_wstring(options));
    std::wstring connectionString = fromBstr(text);
    record(L"Open " + connectionString + L"|" + fromBstr(login) + L"|" + fromBstr(password));
    current->currentErrors.clear();
    if (failsOn(connectionString)) return E_FAIL;
    self->state = 1;
    return S_OK;
}
METHOD connectionExecute(ConnectionObject* self, BSTR text, VARIANT* affected, long options,
                                            _ADORecordset** records) {
    if (!records) return E_POINTER;  // real ADO crashes here; the back ends must never do it
    *records = nullptr;
    if (affected || options != adExecuteNoRecords) unexpected(L"Execute with records affected or other options");
    if (!self->state) unexpected(L"Execute on a closed connection");
    std::wstring statement = fromBstr(text);
    record(L"Execute " + statement);
    current->currentErrors.clear();
    if (failsOn(statement)) return E_FAIL;
    *records = reinterpret_cast<_ADORecordset*>(make<RecordsetObject>(recordsetVtable(), adoRecordsetInterface));
    return S_OK;
}
METHOD connectionBegin(ConnectionObject*, long* level) { record(L"BeginTrans"); *level = 1; return S_OK; }
template <const wchar_t* name>
METHOD recordCall(ConnectionObject*) { record(name); return S_OK; }
const wchar_t commitTrans[] = L"CommitTrans", rollbackTrans[] = L"RollbackTrans";
METHOD connectionState(ConnectionObject* self, LONG* state) { *state = self->state; return S_OK; }
METHOD connectionClose(ConnectionObject* self) {
    record(L"Close");
    if (!self->state) return static_cast<HRESULT>(0x800A0E78);  // adErrObjectClosed
    self->state = 0;
    return S_OK;
}
METHOD connectionErrors(ConnectionObject*, ADOErrors** errors) {
    auto* object = make<ErrorsObject>(errorsVtable(), errorsIid);
    object->entries = current->currentErrors;
    *errors = reinterpret_cast<ADOErrors*>(object);
    return S_OK;
}
METHOD connectionProperties(ConnectionObject*, ADOProperties** properties) {
    *properties = reinterpret_cast<ADOProperties*>(make<PlainObject>(propertiesVtable(), propertiesIid));
    return S_OK;
}

// Catalog, Tables, Table, Columns, Column
METHOD catalogPutConnection(PlainObject*, VARIANT connection) {
    if (connection.vt != VT_BSTR) {
        unexpected(L"a catalogue connection that is not a string");
        return E_INVALIDARG;
    }
    std::wstring text = fromBstr(connection.bstrVal);
    record(L"Catalog " + text);
    return failsOn(text) ? E_FAIL : S_OK;
}
METHOD catalogTables(PlainObject*, ADOTables** tables) {
    *tables = reinterpret_cast<ADOTables*>(make<PlainObject>(tablesVtable(), tablesIid));
    return S_OK;
}
METHOD catalogCreate(PlainObject*, BSTR text, VARIANT* connection) {
    std::wstring connectionString = fromBstr(text);
    record(L"Create " + connectionString);
    if (connection) VariantInit(connection);
    return failsOn(connectionString) ? E_FAIL : S_OK;
}
METHOD tablesItem(PlainObject*, VARIANT index, Table** item) {
    std::vector<std::wstring> names;
    for (const CatalogTable& table : current->catalog) names.push_back(table.name);
    size_t found = 0;
    if (!resolveIndex(index, names, found)) return itemNotFound;
    auto* table = make<TableObject>(tableVtable(), tableIid);
    table->table = found;
    *item = reinterpret_cast<Table*>(table);
    return S_OK;
}
METHOD tableColumns(TableObject* self, ADOColumns** columns) {
    auto* object = make<TableObject>(columnsVtable(), columnsIid);
    object->table = self->table;
    *columns = reinterpret_cast<ADOColumns*>(object);
    return S_OK;
}
METHOD columnsItem(TableObject* self, VARIANT index, Column** item) {
    const auto& columns = current->catalog[self->table].columns;
    std::vector<std::wstring> names;
    for (const auto& column : columns) names.push_back(column.first);
    size_t found = 0;
    if (!resolveIndex(index, names, found)) return itemNotFound;
    auto* column = make<ColumnObject>(columnVtable(), columnIid);
    column->type = columns[found].second;
    *item = reinterpret_cast<Column*>(column);
    return S_OK;
}
METHOD columnType(ColumnObject* self, DataTypeEnum* type) { *type = DataTypeEnum(self->type); return S_OK; }

#define STANDIN_VTABLE(function, ...)              \
    void** function() {                             \
        static Vtable table = Vtable() __VA_ARGS__; \
        return table.slots;                         \
    }

STANDIN_VTABLE(errorVtable, .set(&ADOError::get_Description, &errorDescription))
STANDIN_VTABLE(errorsVtable, .set(&ADOErrors::get_Count, &errorsCount).set(&ADOErrors::get_Item, &errorsItem))
STANDIN_VTABLE(propertyVtable, .set(&ADOProperty::put_Value, &propertyPutValue))
STANDIN_VTABLE(propertiesVtable, .set(&ADOProperties::get_Item, &propertiesItem))
STANDIN_VTABLE(recordsetVtable,
               .set(&_ADORecordset::put_CursorLocation, &recordsetPutLocation)
                   .set(&_ADORecordset::Open, &recordsetOpen)
                   .set(&_ADORecordset::get_EOF, &recordsetEof)
                   .set(&_ADORecordset::get_BOF, &recordsetBof)
                   .set(&_ADORecordset::MoveNext, &recordsetMoveNext)
                   .set(&_ADORecordset::MoveLast, &recordsetMoveLast)
                   .set(&_ADORecordset::get_RecordCount, &recordsetRecordCount)
                   .set(&_ADORecordset::get_Fields, &recordsetFields)
                   .set(&_ADORecordset::Close, &recordsetClose))
STANDIN_VTABLE(fieldsVtable, .set(&ADOFields::get_Count, &fieldsCount).set(&ADOFields::get_Item, &fieldsItem))
STANDIN_VTABLE(fieldVtable, .set(&ADOField::get_Name, &fieldName)
                                .set(&ADOField::get_Type, &fieldType)
                                .set(&ADOField::get_Value, &fieldValue))
STANDIN_VTABLE(connectionVtable,
               .set(&_ADOConnection::put_CursorLocation, &recordNumber<cursorLocation>)
                   .set(&_ADOConnection::put_ConnectionTimeout, &recordNumber<connectionTimeout>)
                   .set(&_ADOConnection::put_CommandTimeout, &recordNumber<commandTimeout>)
                   .set(&_ADOConnection::Open, &connectionOpen)
                   .set(&_ADOConnection::Execute, &connectionExecute)
                   .set(&_ADOConnection::BeginTrans, &connectionBegin)
                   .set(&_ADOConnection::CommitTrans, &recordCall<commitTrans>)
                   .set(&_ADOConnection::RollbackTrans, &recordCall<rollbackTrans>)
                   .set(&_ADOConnection::get_State, &connectionState)
                   .set(&_ADOConnection::Close, &connectionClose)
                   .set(&_ADOConnection::get_Errors, &connectionErrors)
                   .set(&_ADOConnection::get_Properties, &connectionProperties))
STANDIN_VTABLE(catalogVtable, .set(&_ADOCatalog::put_ActiveConnection, &catalogPutConnection)
                                  .set(&_ADOCatalog::get_Tables, &catalogTables)
                                  .set(&_ADOCatalog::Create, &catalogCreate))
STANDIN_VTABLE(tablesVtable, .set(&ADOTables::get_Item, &tablesItem))
STANDIN_VTABLE(tableVtable, .set(&_ADOTable::get_Columns, &tableColumns))
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
        *object = reinterpret_cast<IUnknown*>(make<PlainObject>(catalogVtable(), adoxCatalogInterface));
    return *object ? S_OK : REGDB_E_CLASSNOTREG;
}

}  // namespace

std::vector<std::wstring> Script::statements() const {
    std::vector<std::wstring> found;
    for (const std::wstring& call : calls)
        for (const std::wstring prefix : {L"Execute ", L"Query "})
            if (call.compare(0, prefix.size(), prefix) == 0) found.push_back(call.substr(prefix.size()));
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
