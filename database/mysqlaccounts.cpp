#include "database/mysqlaccounts.h"

#include "database/mysql.h"

namespace {

bool isMariaDB(const std::wstring& version) { return version.find(L"MariaDB") != std::wstring::npos; }

std::wstring account(const std::wstring& login, const std::wstring& host) { return L"'" + login + L"'@'" + host + L"'"; }

}  // namespace

bool usesAccountStatements(const std::wstring& serverVersion) {
    return isMariaDB(serverVersion) ? compareVersions(serverVersion, L"10.4") >= 0
                                    : compareVersions(serverVersion, L"8.0") >= 0;
}

bool hasOldPasswords(const std::wstring& serverVersion) {
    return isMariaDB(serverVersion) || compareVersions(serverVersion, L"8.0") < 0;
}

std::wstring grantPattern(const std::wstring& escapedDatabase) {
    std::wstring unescaped;
    for (size_t i = 0; i < escapedDatabase.size(); ++i) {
        if (escapedDatabase.compare(i, 2, L"\\_") == 0) {
            unescaped += L'_';
            ++i;
        } else {
            unescaped += escapedDatabase[i];
        }
    }
    std::wstring pattern;
    for (wchar_t c : unescaped) {
        if (c == L'_') pattern += L'\\';
        pattern += c;
    }
    return pattern;
}

std::vector<std::wstring> userCreationStatements(const std::wstring& serverVersion, const std::wstring& database,
                                                 const std::wstring& login, const std::wstring& escapedPassword,
                                                 const std::wstring& host) {
    if (usesAccountStatements(serverVersion)) {
        return {L"CREATE USER " + account(login, host) + L" IDENTIFIED BY '" + escapedPassword + L"'",
                L"GRANT SELECT, INSERT, UPDATE, DELETE, CREATE, DROP, REFERENCES, INDEX, ALTER, LOCK TABLES, "
                L"CREATE TEMPORARY TABLES ON `" + database + L"`.* TO " + account(login, host),
                L"FLUSH PRIVILEGES"};
    }
    std::wstring user;
    if (compareVersions(serverVersion, L"5") < 0) {
        user = L"INSERT INTO mysql.user (Host, User, Password, Select_priv, Insert_priv, Update_priv, Delete_priv, "
               L"Create_priv, Drop_priv, Reload_priv, Shutdown_priv, Process_priv, File_priv, Grant_priv, "
               L"References_priv, Index_priv, Alter_priv, Lock_tables_priv, Create_tmp_table_priv) VALUES ('" +
               host + L"', '" + login + L"', PASSWORD('" + escapedPassword +
               L"'), 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N')";
    } else {
        user = L"INSERT INTO mysql.user (Host, User, Password, Select_priv, Insert_priv, Update_priv, Delete_priv, "
               L"Create_priv, Drop_priv, Reload_priv, Shutdown_priv, Process_priv, File_priv, Grant_priv, "
               L"References_priv, Index_priv, Alter_priv, Lock_tables_priv, Create_tmp_table_priv, ssl_type, "
               L"ssl_cipher, x509_issuer, x509_subject) VALUES ('" +
               host + L"', '" + login + L"', PASSWORD('" + escapedPassword +
               L"'), 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', 'N', '', '', '', '')";
    }
    return {user,
            L"INSERT INTO mysql.db (Host, Db, User, Select_priv, Insert_priv, Update_priv, Delete_priv, Create_priv, "
            L"Drop_priv, Grant_priv, References_priv, Index_priv, Alter_priv, Lock_tables_priv, "
            L"Create_tmp_table_priv) VALUES ('" +
                host + L"', '" + database + L"', '" + login +
                L"', 'Y', 'Y', 'Y', 'Y', 'Y', 'Y', 'N', 'Y', 'Y', 'Y', 'Y', 'Y')",
            L"FLUSH PRIVILEGES"};
}

std::vector<std::wstring> administratorStatements(const std::wstring& serverVersion, const std::wstring& escapedLogin,
                                                  const std::wstring& escapedPassword) {
    if (usesAccountStatements(serverVersion)) {
        const std::wstring who = account(escapedLogin, L"%");
        return {L"CREATE USER IF NOT EXISTS " + who + L" IDENTIFIED BY '" + escapedPassword + L"'",
                L"ALTER USER " + who + L" IDENTIFIED BY '" + escapedPassword + L"'",
                L"GRANT SELECT, INSERT, UPDATE, DELETE, CREATE, DROP, RELOAD, SHUTDOWN, PROCESS, FILE, REFERENCES, "
                L"INDEX, ALTER, LOCK TABLES, CREATE TEMPORARY TABLES, SHOW DATABASES, SUPER, EXECUTE ON *.* TO " +
                    who + L" WITH GRANT OPTION",
                L"flush privileges"};
    }
    return {L"REPLACE INTO mysql.user (Host, User, Password, Select_priv, Insert_priv, Update_priv, Delete_priv, "
            L"Create_priv, Drop_priv, Reload_priv, Shutdown_priv, Process_priv, File_priv, Grant_priv, "
            L"References_priv, Index_priv, Alter_priv, Lock_tables_priv, Create_tmp_table_priv, Show_db_priv, "
            L"Super_priv, Execute_priv, ssl_type, ssl_cipher, x509_issuer, x509_subject) VALUES ('%', '" +
                escapedLogin + L"', PASSWORD('" + escapedPassword +
                L"'), 'Y', 'Y', 'Y', 'Y', 'Y', 'Y', 'Y', 'Y', 'Y', 'Y', 'Y', 'Y', 'Y', 'Y', 'Y', 'Y', 'Y', 'Y', "
                L"'Y', '', '', '', '')",
            L"flush privileges"};
}

std::vector<std::wstring> setPasswordStatements(const std::wstring& serverVersion, const std::wstring& escapedLogin,
                                                const std::wstring& escapedPassword,
                                                const std::vector<std::wstring>& escapedHosts) {
    std::vector<std::wstring> statements{L"use mysql"};
    if (usesAccountStatements(serverVersion)) {
        for (const std::wstring& host : escapedHosts)
            statements.push_back(L"ALTER USER " + account(escapedLogin, host) + L" IDENTIFIED BY '" + escapedPassword + L"'");
    } else {
        statements.push_back(L"UPDATE user set Password=PASSWORD('" + escapedPassword + L"') WHERE User='" + escapedLogin + L"'");
    }
    statements.push_back(L"FLUSH PRIVILEGES");
    return statements;
}
