// The account statements of the MySQL back end. Servers that keep accounts in
// the table mysql.user take rows written into it; newer ones (MariaDB from
// 10.4, where mysql.user is a view, and MySQL from 8.0) refuse that and take
// CREATE USER / GRANT / ALTER USER with the same privileges instead.
#pragma once

#include <string>
#include <vector>

// Whether the server of that version text refuses writes into mysql.user.
bool usesAccountStatements(const std::wstring& serverVersion);

// Whether the server knows the session variable old_passwords (MySQL 8 dropped it).
bool hasOldPasswords(const std::wstring& serverVersion);

// A login with the data privileges on one database. Every argument comes
// escaped (the database's underscores escaped once, as a grant pattern);
// host is escaped or "%". Every value goes in escaped on every kind of
// server, so a quote in a password cannot end its literal.
std::vector<std::wstring> userCreationStatements(const std::wstring& serverVersion, const std::wstring& database,
                                                 const std::wstring& login, const std::wstring& escapedPassword,
                                                 const std::wstring& host);

// The panel's database administrator from any host with every global
// privilege and the grant option, and that password.
std::vector<std::wstring> administratorStatements(const std::wstring& serverVersion, const std::wstring& escapedLogin,
                                                  const std::wstring& escapedPassword);

// A new password for every host entry of the login (hosts are those of
// mysql.user for it; only account statements need them). The current
// database is "mysql" afterwards either way.
std::vector<std::wstring> setPasswordStatements(const std::wstring& serverVersion, const std::wstring& escapedLogin,
                                                const std::wstring& escapedPassword,
                                                const std::vector<std::wstring>& escapedHosts);

// The database name as a grant pattern: escaped, then every underscore
// escaped exactly once.
std::wstring grantPattern(const std::wstring& escapedDatabase);
