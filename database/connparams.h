// Where the panel database's connection parameters come from: ORVEX_DB_*
// environment variables first, then the management service, then defaults.
#pragma once

#include <string>

#include "runtime/secrets.h"

class IDatabaseProvider;

struct DbConnectionParams {
    std::wstring host;
    std::wstring name;
    std::wstring login;
    SecretText password;  // wiped when the set goes
    int port = 0;
    std::wstring socket;  // empty: none
};

// The service's value of a named parameter; the default when the request
// fails in any way (nothing is reported).
std::wstring readServiceParam(const std::wstring& name, const std::wstring& defaultValue);
// The database administrator's password from the service; no default.
std::wstring readDbPassword();
// Fills the set in a fixed order: host (only when empty on entry), login,
// name, password, port, socket (kept unless ORVEX_DB_SOCK is set). The
// environment and the service are consulted anew on every call.
void getDbConnectionParams(std::wstring& host, std::wstring& name, std::wstring& login, std::wstring& password,
                           int& port, std::wstring& socket);
// The same, starting from empty strings and port 0.
DbConnectionParams getDbConnectionParams();
// The back end the panel uses: the service's "ORVEX_DATABASE_PROVIDER_NAME".
std::wstring getProviderName();
// Connects the provider with the gathered parameters unless it is connected.
void connectOnDemand(IDatabaseProvider& provider);
// Decimal port text as the panel reads it: leading blanks skipped, stops at
// the first non-digit, no digits give 0.
int parsePort(const std::wstring& text);
