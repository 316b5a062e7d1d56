// The panel database exports: one value by query, one statement, the
// administrator's password and the connection parameters.
#include <objbase.h>

#include <cstdint>
#include <memory>

#include "database/connparams.h"
#include "runtime/exportframe.h"
#include "database/provider.h"
#include "runtime/log.h"

namespace {

// One provider for the length of one export call; its connection closes
// with it.
class DbConnection {
public:
    explicit DbConnection(bool connectNow) {
        std::wstring name = getProviderName();
        provider_.reset(IDatabaseProvider::Create(name));
        if (!provider_) throwOutOfMemory();
        // The ADO back ends need COM on this thread; the result does not matter.
        CoInitialize(nullptr);
        if (connectNow) connectOnDemand(*provider_);
    }
    IDatabaseProvider& provider() { return *provider_; }

private:
    std::unique_ptr<IDatabaseProvider> provider_;
};

// Plain element-wise narrowing: each UTF-16 unit keeps its low 8 bits.
std::string lowBytes(const std::wstring& text) {
    std::string result(text.size(), '\0');
    for (size_t i = 0; i < text.size(); ++i) result[i] = static_cast<char>(text[i] & 0xFF);
    return result;
}

// A caller outside C++ can pass null for a reference; the volatile copy
// keeps the compiler from assuming it cannot.
void requireReference(const std::string& value, const char* name) {
    const std::string* volatile address = &value;
    if (!address) exportframe::required(nullptr, name);
}

}  // namespace

HVC_EXPORT const char* __cdecl HVC_QueryDbValue(const char* statement) {
    return exportframe::boundary<const char*>(nullptr, exportframe::OnSuccess::KeepSlot, [&]() -> const char* {
        std::wstring text = wstr(exportframe::required(statement, "query"), CP_ACP);
        DbConnection connection(false);
        connectOnDemand(connection.provider());
        logMessage(Info, L"SQL: %ls", text.c_str());
        RecordSetRef records(connection.provider().query(text));
        // No row: null with an empty slot, which tells it from a failure.
        if (!records->next()) return nullptr;
        return exportframe::newString(cstr(records->getValue(0, L"", true), CP_ACP));
    });
}

HVC_EXPORT void __cdecl HVC_ExecuteDb(const char* statement, long* lastId) {
    exportframe::boundary(0, exportframe::OnSuccess::ClearSlot, [&] {
        std::wstring text = wstr(exportframe::required(statement, "statement"), CP_ACP);
        DbConnection connection(false);
        connectOnDemand(connection.provider());
        logMessage(Info, L"SQL: %ls", text.c_str());
        connection.provider().execute(text);
        if (lastId) *lastId = static_cast<long>(static_cast<uint32_t>(connection.provider().lastInsertId()));
        return 0;
    });
}

HVC_EXPORT const char* __cdecl HVC_getPassword() {
    return exportframe::boundary<const char*>(nullptr, exportframe::OnSuccess::KeepSlot, [] {
        DbConnectionParams params = getDbConnectionParams();
        const NarrowSecretText password = cstr(params.password, CP_ACP);
        return exportframe::newString(password);
    });
}

// Leaves the slot alone on success, so an earlier failure's text survives.
// A failure (the password request, a null reference) is stored in the slot
// instead of leaving as an exception, which could not unwind into a caller
// built with another compiler; the out-arguments are then left as they were.
HVC_EXPORT void __cdecl HVC_getOrvexDbConnectionInfo(std::string& host, std::string& name, std::string& port,
                                                      std::string& login, std::string& password) {
    bool canceled = false;
    try {
        SeTranslatorScope faults;
        requireReference(host, "host");
        requireReference(name, "name");
        requireReference(port, "port");
        requireReference(login, "login");
        requireReference(password, "password");
        DbConnectionParams params = getDbConnectionParams();
        std::string hostText = lowBytes(params.host), nameText = lowBytes(params.name);
        std::string loginText = lowBytes(params.login), passwordText = lowBytes(params.password);
        std::string portText = std::to_string(static_cast<uint32_t>(params.port));
        host.swap(hostText);
        name.swap(nameText);
        port.swap(portText);
        login.swap(loginText);
        password.swap(passwordText);
    } catch (...) {
        canceled = !exportframe::storeCurrentException();
    }
    if (canceled || ThreadCancelation::takePendingCancel()) ThreadCancelation::endCanceledThread();
}
