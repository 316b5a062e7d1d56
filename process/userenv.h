// The environment a child gets from the run-as service: a token's user
// environment with the home-directory variables, plus the caller's own
// variables, as one Unicode environment block.
#pragma once

#include <windows.h>

#include <map>
#include <string>

class UserEnvironment {
public:
    // Names upper-cased unit by unit, in ordinal order of those names.
    using Variables = std::map<std::wstring, std::wstring>;

    // No variables at all.
    UserEnvironment() = default;
    // The token's user environment (token 0: this process's own environment
    // strings) with HOMEDRIVE and HOMEPATH from the user's home or profile.
    explicit UserEnvironment(HANDLE token);

    // The environment a child started as `account` begins with, for the
    // caller whose token is `callerToken`: the caller's own (as above) when
    // the child runs as the caller's account, else only the system's
    // variables and the account's profile directory (when the machine lists
    // one) as HOMEDRIVE and HOMEPATH. Never the panel database's connection
    // variables (ORVEX_DB_*).
    static UserEnvironment forChild(HANDLE callerToken, PSID account);

    // Entries NAME=VALUE, each ended by a zero unit; the list ends at its
    // first empty entry or at the end of the text. An entry without "=" is
    // a name with an empty value.
    void addVariables(const std::wstring& list);
    void set(const std::wstring& name, const std::wstring& value);
    // Each variable as NAME=VALUE and a zero unit, then one more zero unit.
    std::wstring toBlock() const;
    // HOMEDRIVE: the path up to its first backslash ('/' counts as one);
    // HOMEPATH: the rest, one trailing "\" or "\." removed. A path without
    // a backslash throws std::out_of_range before either is set.
    void setHome(const std::wstring& path);

    const Variables& variables() const { return variables_; }

    // The account's configured home directory when it exists, else its
    // profile directory.
    static std::wstring userProfilePath(HANDLE token);
    // The name upper-cased as the block keeps it.
    static std::wstring upcase(const std::wstring& name);

private:
    Variables variables_;
};
