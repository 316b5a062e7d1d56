#include "process/userenv.h"

#include <lm.h>
#include <sddl.h>
#include <userenv.h>

#include "fs/filename.h"
#include "runtime/exceptions.h"
#include "runtime/owners.h"
#include "runtime/registry.h"
#include "security/sid.h"
#include "security/token.h"

namespace {

using UniqueEnvironmentBlock = UniqueAny<void*, &::DestroyEnvironmentBlock>;
using UniqueEnvironmentStrings = UniqueAny<wchar_t*, &::FreeEnvironmentStringsW>;
using UniqueNetApiBuffer = UniqueAny<void*, &::NetApiBufferFree>;

using RtlUpcaseUnicodeCharFunction = WCHAR(NTAPI*)(WCHAR);
// Resolved at library load; ntdll always has it.
const RtlUpcaseUnicodeCharFunction rtlUpcaseUnicodeChar = reinterpret_cast<RtlUpcaseUnicodeCharFunction>(
    reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlUpcaseUnicodeChar")));

const DWORD tokenForProfile = TOKEN_QUERY | TOKEN_IMPERSONATE | TOKEN_DUPLICATE;
const wchar_t* const profileList = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\";
const wchar_t* const panelDatabasePrefix = L"ORVEX_DB_";
const DWORD profileBufferUnits = 255;

// Calls add(name, value) for each entry of a zero-separated list, up to its
// first empty entry or `end` (null: the list ends with an empty entry).
template <class Add>
void parseEntries(const wchar_t* entry, const wchar_t* end, Add add) {
    auto more = [end](const wchar_t* at) { return (!end || at < end) && *at; };
    while (more(entry)) {
        const wchar_t* stop = entry;
        while (more(stop)) ++stop;
        std::wstring text(entry, stop);
        size_t equals = text.find(L'=');
        if (equals == std::wstring::npos)
            add(text, std::wstring());
        else
            add(text.substr(0, equals), text.substr(equals + 1));
        entry = stop + 1;
    }
}

}  // namespace

UserEnvironment::UserEnvironment(HANDLE token) {
    auto add = [this](const std::wstring& name, const std::wstring& value) { set(name, value); };
    if (token) {
        UniqueEnvironmentBlock block;
        if (!CreateEnvironmentBlock(block.put(), token, TRUE))
            RunTime::throwRuntimeError(L"Unable to create user environment block", GetLastError());
        parseEntries(static_cast<const wchar_t*>(block.get()), nullptr, add);
        setHome(userProfilePath(token));
        return;
    }
    {
        UniqueEnvironmentStrings strings(GetEnvironmentStringsW());
        if (!strings) RunTime::throwRuntimeError(L"Unable to get environment strings", GetLastError());
        parseEntries(strings.get(), nullptr, add);
    }
    UniqueHandle own;
    if (!OpenProcessToken(GetCurrentProcess(), tokenForProfile, own.put()))
        RunTime::throwRuntimeError(L"Unable to open process token", GetLastError());
    setHome(userProfilePath(own.get()));
}

// Departs from giving every child the caller's environment: a child started
// as another account (the guest, a site's user) would read the agent's
// variables, the panel database's password among them.
UserEnvironment UserEnvironment::forChild(HANDLE callerToken, PSID account) {
    UniqueMallocPtr<BYTE> user = queryTokenInformation(callerToken, TokenUser);
    UserEnvironment environment;
    if (EqualSid(reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid, account)) {
        environment = UserEnvironment(callerToken);
    } else {
        UniqueEnvironmentBlock block;
        if (!CreateEnvironmentBlock(block.put(), nullptr, FALSE))  // the system's variables only
            RunTime::throwRuntimeError(L"Unable to create user environment block", GetLastError());
        parseEntries(static_cast<const wchar_t*>(block.get()), nullptr,
                     [&](const std::wstring& name, const std::wstring& value) { environment.set(name, value); });
        UniqueLocalPtr<wchar_t> sid;
        std::wstring profile;
        if (ConvertSidToStringSidW(account, sid.put()) &&
            registry::lookup(HKEY_LOCAL_MACHINE, profileList + std::wstring(sid.get()), L"ProfileImagePath", profile,
                             REG_EXPAND_SZ) == ERROR_SUCCESS &&
            profile.find(L'\\') != std::wstring::npos)
            environment.setHome(profile);
    }
    const std::wstring prefix = panelDatabasePrefix;
    for (auto at = environment.variables_.begin(); at != environment.variables_.end();)
        at = at->first.compare(0, prefix.size(), prefix) == 0 ? environment.variables_.erase(at) : std::next(at);
    return environment;
}

std::wstring UserEnvironment::upcase(const std::wstring& name) {
    std::wstring result(name);
    for (wchar_t& unit : result) unit = rtlUpcaseUnicodeChar(unit);
    return result;
}

void UserEnvironment::set(const std::wstring& name, const std::wstring& value) { variables_[upcase(name)] = value; }

void UserEnvironment::addVariables(const std::wstring& list) {
    parseEntries(list.c_str(), list.c_str() + list.size(),
                 [this](const std::wstring& name, const std::wstring& value) { set(name, value); });
}

std::wstring UserEnvironment::toBlock() const {
    size_t length = 1;
    for (const auto& variable : variables_) length += variable.first.size() + variable.second.size() + 2;
    std::wstring block(length, L'\0');
    size_t at = 0;
    for (const auto& variable : variables_) {
        block.replace(at, variable.first.size(), variable.first);
        at += variable.first.size();
        block[at++] = L'=';
        block.replace(at, variable.second.size(), variable.second);
        at += variable.second.size() + 1;
    }
    return block;
}

void UserEnvironment::setHome(const std::wstring& path) {
    std::wstring home(path);
    for (wchar_t& unit : home)
        if (unit == L'/') unit = L'\\';
    const size_t slash = home.find(L'\\');
    const std::wstring directory = VFileName::stripTrailingBackslash(home.substr(slash));  // npos throws
    const std::wstring drive = home.substr(0, slash);
    set(L"HOMEDRIVE", drive);
    set(L"HOMEPATH", directory);
}

std::wstring UserEnvironment::userProfilePath(HANDLE token) {
    UniqueMallocPtr<BYTE> user = queryTokenInformation(token, TokenUser);
    AccountSid account(reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid);
    const std::wstring name = account.name();
    const std::wstring domain = account.domain();

    UniqueNetApiBuffer info;
    if (NetUserGetInfo(nullptr, name.c_str(), 1, reinterpret_cast<BYTE**>(info.put())) == NERR_Success && info) {
        const wchar_t* home = static_cast<USER_INFO_1*>(info.get())->usri1_home_dir;
        if (home && *home && GetFileAttributesW(home) != INVALID_FILE_ATTRIBUTES) return home;
    }
    info.reset();

    DWORD size = profileBufferUnits;
    std::wstring buffer(size, L'\0');
    if (!GetUserProfileDirectoryW(token, &buffer[0], &size)) {
        DWORD error = GetLastError();
        if (error == ERROR_INSUFFICIENT_BUFFER) {
            buffer.assign(size, L'\0');
            if (GetUserProfileDirectoryW(token, &buffer[0], &size)) error = ERROR_SUCCESS;
            else error = GetLastError();
        }
        if (error != ERROR_SUCCESS)
            RunTime::throwRuntimeError(L"Unable to get user %s\\%s profile path", error, domain.c_str(), name.c_str());
    }
    // The reported size counts the terminating zero; never beyond the text.
    buffer.resize(size > 0 && size <= buffer.size() ? size - 1 : buffer.size());
    return buffer.substr(0, buffer.find(L'\0'));
}
