#include "database/connparams.h"

#include <cstdlib>

#include "runtime/catchpoint.h"
#include "ipc/srvclient.h"
#include "database/provider.h"

namespace {

// An environment variable set to the empty string counts as absent.
bool environment(const wchar_t* variable, std::wstring& value) {
    const wchar_t* text = _wgetenv(variable);
    if (!text || !*text) return false;
    value = text;
    return true;
}

}  // namespace

std::wstring readServiceParam(const std::wstring& name, const std::wstring& defaultValue) {
    return valueOr(defaultValue, [&] { return OrvexSrvClient::getInstance().getString(name); });
}

std::wstring readDbPassword() { return OrvexSrvClient::getInstance().getPassword(L"pwd"); }

int parsePort(const std::wstring& text) { return static_cast<int>(std::wcstol(text.c_str(), nullptr, 10)); }

void getDbConnectionParams(std::wstring& host, std::wstring& name, std::wstring& login, std::wstring& password,
                           int& port, std::wstring& socket) {
    // Gathered aside: a failing step leaves the caller's set untouched.
    DbConnectionParams set;
    set.host = host;
    set.socket = socket;
    if (set.host.empty() && !environment(L"ORVEX_DB_HOST", set.host))
        set.host = readServiceParam(L"MySQL_DB_HOST", L"localhost");
    if (!environment(L"ORVEX_DB_LOGIN", set.login)) set.login = readServiceParam(L"ORVEX_DATABASE_LOGIN", L"admin");
    if (!environment(L"ORVEX_DB_NAME", set.name)) set.name = readServiceParam(L"mySQLDBName", L"hvc");
    if (!environment(L"ORVEX_DB_PASSWD", set.password)) set.password = readDbPassword();
    std::wstring portText;
    if (!environment(L"ORVEX_DB_PORT", portText)) portText = readServiceParam(L"MySQL_DB_PORT", L"8306");
    set.port = parsePort(portText);
    environment(L"ORVEX_DB_SOCK", set.socket);

    host = set.host;
    name = set.name;
    login = set.login;
    password = set.password;
    port = set.port;
    socket = set.socket;
}

DbConnectionParams getDbConnectionParams() {
    DbConnectionParams params;
    getDbConnectionParams(params.host, params.name, params.login, params.password, params.port, params.socket);
    return params;
}

std::wstring getProviderName() { return readServiceParam(L"ORVEX_DATABASE_PROVIDER_NAME", L"MySQL"); }

void connectOnDemand(IDatabaseProvider& provider) {
    if (provider.isConnected()) return;
    DbConnectionParams params = getDbConnectionParams();
    provider.connect(params.host, params.name, params.login, params.password, params.port, params.socket);
}
