// Where the connection parameters come from: the environment, the stand-in
// management service (orvexsrv.exe, a separate process) and the defaults,
// in the fixed order of the requests.
#include <gtest/gtest.h>

#include "database/connparams.h"
#include "db_testenv.h"
#include "standin.h"

namespace {

// The requests the stand-in logged, in order: "S:name" for getString, "P:name" for getPassword.
std::string requests(const standin::Server& service) {
    std::string found;
    for (const std::string& hex : service.messages()) {
        std::string bytes;
        for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
        // A body: the 16-byte identifier blob, then a UTF-16 string blob.
        if (bytes.size() < 25 || bytes[0] != 16) continue;
        found += found.empty() ? "" : " ";
        found += bytes[4] == '\x3C' ? "S:" : "P:";
        for (size_t i = 25; i < bytes.size(); i += 2) found += bytes[i];
    }
    return found;
}

}  // namespace

TEST(DbParams, ServiceThenEnvironment) {
    using Env = std::vector<std::pair<const wchar_t*, const wchar_t*>>;
    const char* const all = "S:MySQL_DB_HOST S:ORVEX_DATABASE_LOGIN S:mySQLDBName P:pwd S:MySQL_DB_PORT";
    struct Case {
        bool faulty;          // the service fails every request
        const wchar_t* host;  // passed in; the socket passed in is "kept"
        Env env;
        DbConnectionParams expected;
        const char* requests;
        std::wstring error;
    } cases[] = {
        {false, L"", {}, {L"db.example", L"panel", L"panel_admin", L"s3cret", 3307, L"kept"}, all, L""},
        {false, L"given", {}, {L"given", L"panel", L"panel_admin", L"s3cret", 3307, L"kept"}, all + 16, L""},  // all but the host
        {false, L"", {{L"ORVEX_DB_HOST", L"h"}, {L"ORVEX_DB_LOGIN", L"l"}, {L"ORVEX_DB_NAME", L"n"},
                      {L"ORVEX_DB_PASSWD", L"p"}, {L"ORVEX_DB_PORT", L" \t3306x"}, {L"ORVEX_DB_SOCK", L"s"}},
         {L"h", L"n", L"l", L"p", 3306, L"s"}, "", L""},
        {false, L"", {{L"ORVEX_DB_PORT", L"x3306"}}, {L"db.example", L"panel", L"panel_admin", L"s3cret", 0, L"kept"},
         "S:MySQL_DB_HOST S:ORVEX_DATABASE_LOGIN S:mySQLDBName P:pwd", L""},
        {true, L"", {{L"ORVEX_DB_PASSWD", L"env"}}, {L"localhost", L"hvc", L"admin", L"env", 8306, L"kept"},
         "S:MySQL_DB_HOST S:ORVEX_DATABASE_LOGIN S:mySQLDBName S:MySQL_DB_PORT", L""},
        // The password has no default: nothing of the set is handed out.
        {true, L"", {}, {L"", L"", L"", L"", 0, L"kept"},
         "S:MySQL_DB_HOST S:ORVEX_DATABASE_LOGIN S:mySQLDBName P:pwd", L"Injected failure"},
    };
    int n = 0;
    for (const Case& c : cases) {
        standin::Server::Options options;
        options.file = "param MySQL_DB_HOST=db.example\nparam ORVEX_DATABASE_LOGIN=panel_admin\nparam mySQLDBName=panel\n"
                       "param MySQL_DB_PORT=3307\nparam ORVEX_DATABASE_PROVIDER_NAME=Jet\npassword pwd=s3cret\n";
        options.log = true;
        options.switches = c.faulty ? L"--fault error" : L"";
        standin::Server service(options);
        ASSERT_TRUE(service.running());
        dbtest::clearDbEnvironment();  // read anew at each call
        for (const auto& variable : c.env) dbtest::setEnv(variable.first, variable.second);
        DbConnectionParams got{c.host, L"", L"", L"", 0, L"kept"};
        std::wstring error = dbtest::thrownText([&] {
            getDbConnectionParams(got.host, got.name, got.login, got.password, got.port, got.socket);
        });
        dbtest::clearDbEnvironment();
        EXPECT_EQ(error, c.error.empty() ? L"(no exception)" : c.error) << "case " << n;
        const DbConnectionParams& e = c.expected;
        EXPECT_TRUE(got.host == e.host && got.name == e.name && got.login == e.login && got.password == e.password &&
                    got.port == e.port && got.socket == e.socket)
            << "case " << n << ": " << cstr(got.host + L"|" + got.name + L"|" + got.login + L"|" + got.password + L"|" +
                                            std::to_wstring(got.port) + L"|" + got.socket);
        EXPECT_EQ(requests(service), c.requests) << "case " << n;
        EXPECT_EQ(getProviderName(), c.faulty ? L"MySQL" : L"Jet");
        ++n;
    }
}
