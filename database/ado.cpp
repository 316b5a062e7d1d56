#include "database/ado.h"

#include <windows.h>
#include <adoint_backcompat.h>
#include <ole2.h>

#include <cwchar>
#include <string>

#include "runtime/cancellation.h"
#include "runtime/comerror.h"
#include "runtime/exceptions.h"
#include "runtime/registry.h"
#include "runtime/text.h"

const CLSID adoConnectionClass = {0x00000514, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
const IID adoConnectionInterface = {0x00000550, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
const CLSID adoRecordsetClass = {0x00000535, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
const IID adoRecordsetInterface = {0x00000556, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
const CLSID adoxCatalogClass = {0x00000602, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
const IID adoxCatalogInterface = {0x00000603, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};

namespace adocall {

void check(HRESULT hr) {
    if (FAILED(hr)) throwComError(hr);
}

UniqueBstr bstr(const std::wstring& text) {
    UniqueBstr result(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
    if (!result) throwOutOfMemory();
    return result;
}

BstrArgument::BstrArgument(const std::wstring& text) : text_(bstr(text)) {
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = text_.get();
}

}  // namespace adocall

namespace {

HRESULT createStarted(const CLSID& classId, IUnknown** object) {
    ComPtr<IUnknown> created;
    HRESULT hr = CoCreateInstance(classId, nullptr,
                                  CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
                                  IID_IUnknown, created.putVoid());
    if (FAILED(hr)) return hr;
    hr = OleRun(created.get());
    if (FAILED(hr)) return hr;
    *object = created.detach();
    return S_OK;
}

AdoObjectFactory currentFactory = &createStarted;

using adocall::BstrArgument;
using adocall::bstr;
using adocall::check;

std::wstring fromBstr(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }

VARIANT indexArgument(long index) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_I4;
    value.lVal = index;
    return value;
}

// Reads a timeout value from the configuration key; 0 when it is absent.
DWORD configuredTimeout(const wchar_t* name) {
    DWORD value = 0;
    if (registry::lookup(ConfigKey::root(), ConfigKey::subKey(), name, value) != ERROR_SUCCESS) return 0;
    return value;
}

// A missing or unreadable timeout never stops a connection.
template <class Body>
void applyTimeout(const wchar_t* context, unsigned line, Body&& body) {
    try {
        body();
    } catch (const ThreadCancelation::ThreadCanceledException&) {
        throw;
    } catch (...) {
        logIgnoredAdoFailure(currentAsVException(context, "VADOConnection::open", line));
    }
}

// The text form of a field value.
std::wstring variantText(const VARIANT& value) {
    if (value.vt == VT_BSTR) return fromBstr(value.bstrVal);
    if (value.vt == VT_DATE) {
        SYSTEMTIME time = {};
        if (!VariantTimeToSystemTime(value.date, &time)) throwComError(DISP_E_TYPEMISMATCH);
        return format(L"%04d-%02d-%02d %02d:%02d:%02d", time.wYear, time.wMonth, time.wDay, time.wHour,
                      time.wMinute, time.wSecond);
    }
    if (value.vt == (VT_ARRAY | VT_UI1)) {
        SAFEARRAY* array = value.parray;
        if (!array) return std::wstring();
        LONG lower = 0, upper = -1;
        check(SafeArrayGetLBound(array, 1, &lower));
        check(SafeArrayGetUBound(array, 1, &upper));
        void* data = nullptr;
        check(SafeArrayAccessData(array, &data));
        std::string bytes(static_cast<const char*>(data), static_cast<size_t>(upper - lower + 1));
        SafeArrayUnaccessData(array);
        return wstr(bytes, 0);
    }
    UniqueVariant converted;
    check(VariantChangeType(converted.get(), const_cast<VARIANT*>(&value), 0, VT_BSTR));
    return fromBstr((*converted).bstrVal);
}

// ----------------------------------------------------------------- record set

class VADORecordSetProvider final : public IDatabaseRecordSet {
public:
    VADORecordSetProvider(const std::wstring& statement, _ADOConnection* connection) {
        check(createAdoObject(adoRecordsetClass, adoRecordsetInterface, recordset_.putVoid()));
        check(recordset_->put_CursorLocation(adUseClient));
        BstrArgument source(statement);
        VARIANT active;
        VariantInit(&active);
        active.vt = VT_DISPATCH;
        active.pdispVal = connection;
        check(recordset_->Open(source.value, active, adOpenStatic, adLockOptimistic, adCmdUnknown));
        firstRowPending_ = true;
    }
    VADORecordSetProvider(const VADORecordSetProvider&) = delete;
    VADORecordSetProvider& operator=(const VADORecordSetProvider&) = delete;

    bool next() override {
        if (flag(&_ADORecordset::get_EOF)) return false;
        if (firstRowPending_) {
            firstRowPending_ = false;
            return true;
        }
        check(recordset_->MoveNext());
        return !flag(&_ADORecordset::get_EOF);
    }
    bool moveFirst() override { return position(&_ADORecordset::MoveFirst); }
    bool moveLast() override { return position(&_ADORecordset::MoveLast); }
    unsigned fieldCount() override {
        long count = 0;
        check(fields()->get_Count(&count));
        return count > 0 ? static_cast<unsigned>(count) : 0;
    }
    int fieldIndex(const std::wstring& name) override {
        unsigned count = fieldCount();
        for (unsigned i = 0; i < count; ++i)
            if (fieldName(i) == name) return static_cast<int>(i);
        return -1;
    }
    std::wstring fieldName(unsigned column) override {
        UniqueBstr name;
        check(field(column)->get_Name(name.put()));
        return fromBstr(name.get());
    }
    bool isNull(unsigned column, bool emptyIsNull) override {
        UniqueVariant value;
        read(column, value);
        if (isNullVariant(*value)) return true;
        return emptyIsNull && variantText(*value).empty();
    }
    bool isEmpty(unsigned column, bool valueIfNull) override {
        UniqueVariant value;
        read(column, value);
        if (isNullVariant(*value)) return valueIfNull;
        return variantText(*value).empty();
    }
    bool tryGetValue(unsigned column, std::wstring& text, bool emptyIsNull) override {
        UniqueVariant value;
        read(column, value);
        if (isNullVariant(*value)) return false;
        std::wstring converted = variantText(*value);
        if (emptyIsNull && converted.empty()) return false;
        text = converted;
        return true;
    }
    uint64_t rowCount() override {
        ADO_LONGPTR count = 0;
        check(recordset_->get_RecordCount(&count));
        return count > 0 ? static_cast<uint64_t>(count) : 0;
    }
    int columnType(unsigned column) {
        DataTypeEnum type = adEmpty;
        check(field(column)->get_Type(&type));
        return static_cast<int>(type);
    }
    void addRef() override { ++references_; }
    void release() override {
        if (--references_ <= 0) delete this;
    }

private:
    ~VADORecordSetProvider() = default;

    static bool isNullVariant(const VARIANT& value) { return value.vt == VT_NULL || value.vt == VT_EMPTY; }

    bool flag(HRESULT (STDMETHODCALLTYPE _ADORecordset::*get)(VARIANT_BOOL*)) {
        VARIANT_BOOL value = VARIANT_FALSE;
        check((recordset_.get()->*get)(&value));
        return value != VARIANT_FALSE;
    }
    bool position(HRESULT (STDMETHODCALLTYPE _ADORecordset::*move)()) {
        if (flag(&_ADORecordset::get_BOF) && flag(&_ADORecordset::get_EOF)) return false;
        check((recordset_.get()->*move)());
        firstRowPending_ = true;
        return true;
    }
    ComPtr<ADOFields> fields() {
        ComPtr<ADOFields> result;
        check(recordset_->get_Fields(result.put()));
        return result;
    }
    ComPtr<ADOField> field(unsigned column) {
        ComPtr<ADOField> result;
        check(fields()->get_Item(indexArgument(static_cast<long>(column)), result.put()));
        return result;
    }
    void read(unsigned column, UniqueVariant& value) { check(field(column)->get_Value(value.put())); }

    int32_t references_ = 0;
    ComPtr<_ADORecordset> recordset_;
    bool firstRowPending_ = false;
};

}  // namespace

AdoObjectFactory setAdoObjectFactory(AdoObjectFactory factory) {
    AdoObjectFactory previous = currentFactory;
    currentFactory = factory ? factory : &createStarted;
    return previous;
}

HRESULT createAdoObject(const CLSID& classId, const IID& interfaceId, void** object) {
    *object = nullptr;
    ComPtr<IUnknown> created;
    HRESULT hr = currentFactory(classId, created.put());
    if (FAILED(hr)) return hr;
    if (!created) return E_POINTER;
    return created->QueryInterface(interfaceId, object);
}

// ----------------------------------------------------------------- connection

VADOConnection::VADOConnection() = default;
VADOConnection::~VADOConnection() { close(); }

_ADOConnection* VADOConnection::get() const {
    if (!connection_) throw ComError(E_POINTER);
    return connection_.get();
}

void VADOConnection::open(const std::wstring& connectionString, const std::wstring& login,
                          const std::wstring& password, long options, long cursorLocation) {
    CoInitialize(nullptr);  // S_FALSE or a different apartment are both fine here
    try {
        close();
        if (FAILED(createAdoObject(adoConnectionClass, adoConnectionInterface, connection_.putVoid())) || !connection_)
            throw ComError(E_POINTER);
        check(connection_->put_CursorLocation(static_cast<CursorLocationEnum>(cursorLocation)));
        applyTimeout(L"ADOConnectionTimeout parameter", __LINE__, [&] {
            if (DWORD seconds = configuredTimeout(L"ADOConnectionTimeout"))
                check(connection_->put_ConnectionTimeout(static_cast<LONG>(seconds)));
        });
        check(connection_->Open(bstr(connectionString).get(), bstr(login).get(), bstr(password).get(), options));
        applyTimeout(L"ADOCommandTimeout parameter", __LINE__, [&] {
            if (DWORD seconds = configuredTimeout(L"ADOCommandTimeout"))
                check(connection_->put_CommandTimeout(static_cast<LONG>(seconds)));
        });
    } catch (const ComError& error) {
        // The Errors collection says what the provider refused; where it is
        // empty (or unavailable) the HRESULT's own text is all there is.
        std::wstring text = lastError();
        if (text.empty()) {
            text = error.errorMessage() + format(L" (COM Error %08X)", static_cast<unsigned>(error.error()));
            if (!error.description().empty()) text += L" " + error.description();
        }
        throw vexception(text, VLOCATION("VADOConnection::open"));
    }
}

void VADOConnection::close() {
    if (!connection_) return;
    // A connection that never opened refuses Close; releasing it is enough.
    LONG state = 0;
    if (SUCCEEDED(connection_->get_State(&state)) && state != 0) connection_->Close();
    connection_.reset();
}

bool VADOConnection::isOpen() {
    if (!connection_) return false;
    LONG state = 0;
    check(connection_->get_State(&state));
    return state != 0;
}

std::wstring VADOConnection::lastError() {
    if (!connection_) return std::wstring();
    std::wstring text;
    ComPtr<ADOErrors> errors;
    if (FAILED(connection_->get_Errors(errors.put())) || !errors) return text;
    long count = 0;
    if (FAILED(errors->get_Count(&count))) return text;
    for (long i = 0; i < count; ++i) {
        ComPtr<ADOError> error;
        UniqueBstr description;
        if (FAILED(errors->get_Item(indexArgument(i), error.put())) || !error) continue;
        if (FAILED(error->get_Description(description.put()))) continue;
        if (!text.empty()) text += L' ';
        text += fromBstr(description.get());
    }
    return text;
}

void VADOConnection::setProperty(const std::wstring& name, long value) {
    ComPtr<ADOProperties> properties;
    check(get()->get_Properties(properties.put()));
    BstrArgument key(name);
    ComPtr<ADOProperty> property;
    check(properties->get_Item(key.value, property.put()));
    check(property->put_Value(indexArgument(value)));
}

void VADOConnection::execute(const std::wstring& statement) {
    ComPtr<_ADORecordset> records;
    check(get()->Execute(bstr(statement).get(), nullptr, adExecuteNoRecords, records.put()));
}

IDatabaseRecordSet* VADOConnection::openRecordSet(const std::wstring& statement) {
    return new VADORecordSetProvider(statement, get());
}

void VADOConnection::beginTrans() {
    long level = 0;
    check(get()->BeginTrans(&level));
}

void VADOConnection::commitTrans() { check(get()->CommitTrans()); }

void VADOConnection::rollbackTrans() { check(get()->RollbackTrans()); }

int adoColumnType(IDatabaseRecordSet& records, unsigned column) {
    auto* ado = dynamic_cast<VADORecordSetProvider*>(&records);
    if (!ado) throw vexception(L"Not an ADO record set", VLOCATION("adoColumnType"));
    return ado->columnType(column);
}

