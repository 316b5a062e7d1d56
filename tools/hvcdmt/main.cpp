// hvcdmt: drives hvcdmtutils.dll the way a script host does. Loads the DLL,
// binds exports by their decorated names, prints a result on standard
// output or the library's error text on standard error. The database export
// and import commands are no exports: they run on the library's own core.
#include <windows.h>
#include <objbase.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>

#include "database/connparams.h"
#include "database/mysql.h"
#include "database/xmlexport.h"
#include "hvcdmtutils.h"
#include "runtime/comerror.h"
#include "runtime/exceptions.h"
#include "runtime/text.h"

namespace {

HMODULE library;

template <class T>
T bind(const char* name) {
    FARPROC proc = GetProcAddress(library, name);
    if (!proc) {
        std::fprintf(stderr, "hvcdmt: export %s not found (error %lu)\n", name, GetLastError());
        std::exit(3);
    }
    return reinterpret_cast<T>(reinterpret_cast<void*>(proc));
}

std::string narrow(const wchar_t* text, UINT codePage) {
    int length = WideCharToMultiByte(codePage, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string result(length > 0 ? length - 1 : 0, '\0');
    if (length > 1) WideCharToMultiByte(codePage, 0, text, -1, &result[0], length, nullptr, nullptr);
    return result;
}

int printResult(const char* result) {
    if (!result) {
        auto lastError = bind<HVC_GetLastHvcDmtError_t>(HVC_NAME_GetLastHvcDmtError);
        const char* text = lastError();
        std::fprintf(stderr, "%s\n", text ? text : "(no error text)");
        return 1;
    }
    std::fwrite(result, 1, std::strlen(result), stdout);
    std::fputc('\n', stdout);
    bind<HVC_FreeString_t>(HVC_NAME_FreeString)(result);
    return 0;
}

struct Command {
    const wchar_t* name;
    const char* exportName;
    UINT codePage;  // how the argument is handed to the export
    const char* help;
};

const Command commands[] = {
    {L"base64-decode", HVC_NAME_Base64Decode, CP_ACP, "base64-decode TEXT     decode Base64 text"},
    {L"idn-to-ascii", HVC_NAME_idn_toAscii, CP_UTF8, "idn-to-ascii NAME      domain name to its xn-- form"},
    {L"idn-to-utf8", HVC_NAME_idn_toUtf8, CP_UTF8, "idn-to-utf8 NAME       xn-- domain name to Unicode"},
    {L"param", HVC_NAME_GetParam, CP_ACP, "param NAME             a parameter of the management service"},
};

const char* const databaseHelp[] = {
    "query STATEMENT        first value of the first row from the panel database (no row: exit 4)",
    "exec-db STATEMENT      run a statement on the panel database; prints the insert id",
    "password               the panel database administrator's password",
    "db-info                the panel database's connection parameters",
};

// The panel database commands; -1 when argv names none of them.
int databaseCommand(int argc, wchar_t** argv) {
    const std::wstring name = argv[1];
    const int arguments = name == L"query" || name == L"exec-db" ? 1 : 0;
    if (name != L"query" && name != L"exec-db" && name != L"password" && name != L"db-info") return -1;
    if (argc != 2 + arguments) return -2;
    auto lastError = bind<HVC_GetLastHvcDmtError_t>(HVC_NAME_GetLastHvcDmtError);
    auto failed = [&] {
        const char* text = lastError();
        if (!text) return false;
        std::fprintf(stderr, "%s\n", text);
        return true;
    };
    if (name == L"query") {
        std::string statement = narrow(argv[2], CP_ACP);
        const char* value = bind<HVC_QueryDbValue_t>(HVC_NAME_QueryDbValue)(statement.c_str());
        if (!value && !lastError()) {
            std::fprintf(stderr, "hvcdmt: no row\n");
            return 4;
        }
        return printResult(value);
    }
    if (name == L"exec-db") {
        std::string statement = narrow(argv[2], CP_ACP);
        long lastId = 0;
        bind<HVC_ExecuteDb_t>(HVC_NAME_ExecuteDb)(statement.c_str(), &lastId);
        if (failed()) return 1;
        std::printf("%ld\n", lastId);
        return 0;
    }
    if (name == L"password") return printResult(bind<HVC_getPassword_t>(HVC_NAME_getPassword)());
    // This export never clears the slot itself.
    bind<HVC_FreeString_t>(HVC_NAME_FreeString)(nullptr);
    std::string host, database, port, login, password;
    bind<HVC_getOrvexDbConnectionInfo_t>(HVC_NAME_getOrvexDbConnectionInfo)(host, database, port, login, password);
    if (failed()) return 1;
    std::printf("host=%s\nname=%s\nport=%s\nlogin=%s\npassword=%s\n", host.c_str(), database.c_str(), port.c_str(),
                login.c_str(), password.c_str());
    return 0;
}

const char* const transferHelp[] = {
    "db-export DIR          schema.xml and data.xml of the panel database into DIR",
    "db-import-schema FILE [--recreate] [--manager LOGIN PASSWORD]",
    "                       create the tables of a schema document in the panel database",
    "db-import-data FILE    load the rows of a data document into the panel database; rows the",
    "                       database refused: exit 5 with their count per table",
};

std::wstring fullPath(const wchar_t* path) {
    wchar_t buffer[MAX_PATH * 4];
    DWORD length = GetFullPathNameW(path, MAX_PATH * 4, buffer, nullptr);
    return length && length < MAX_PATH * 4 ? std::wstring(buffer, length) : std::wstring(path);
}

void progressLine(const wchar_t* what, const std::wstring& table, unsigned long long count, const wchar_t* unit,
                  unsigned long long refused) {
    std::wstring line = format(L"%ls %ls: %llu %ls", what, table.c_str(), count, unit);
    if (refused) line += format(L", %llu refused", refused);
    std::fprintf(stderr, "%s\n", cstr(line, CP_UTF8).c_str());
}

// The panel database's back end, as the service names it; only the MySQL
// back end can export a schema and import documents here.
std::unique_ptr<MySQLDatabaseProvider> panelProvider() {
    std::unique_ptr<IDatabaseProvider> provider(IDatabaseProvider::Create(getProviderName()));
    if (!provider) throwOutOfMemory();
    auto* mysql = dynamic_cast<MySQLDatabaseProvider*>(provider.get());
    if (!mysql) throw vexception(L"Export and import need the MySQL back end, not " + provider->name());
    provider.release();
    return std::unique_ptr<MySQLDatabaseProvider>(mysql);
}

int transfer(const std::wstring& name, int argc, wchar_t** argv) {
    struct Com {
        Com() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
        ~Com() { CoUninitialize(); }
    } com;
    std::unique_ptr<MySQLDatabaseProvider> provider = panelProvider();
    std::wstring refusedTables;
    unsigned long long refusedRows = 0;
    provider->setImportProgress([&](const std::wstring& table, unsigned long long count, unsigned long long refused) {
        progressLine(name == L"db-import-data" ? L"data" : L"schema", table, count,
                     name == L"db-import-data" ? L"rows" : L"columns", refused);
        if (refused) refusedTables += format(L"%ls%ls: %llu", refusedTables.empty() ? L"" : L", ", table.c_str(), refused);
        refusedRows += refused;
    });
    if (name == L"db-export") {
        connectOnDemand(*provider);
        exportMySQLDatabase(
            *provider, fullPath(argv[2]),
            [](const std::wstring& table, unsigned long long columns) { progressLine(L"schema", table, columns, L"columns", 0); },
            [](const std::wstring& table, unsigned long long rows) { progressLine(L"data", table, rows, L"rows", 0); });
        return 0;
    }
    DbConnectionParams params = getDbConnectionParams();
    const std::wstring document = fullPath(argv[2]);
    if (name == L"db-import-data") {
        provider->ImportData(document, params.host, params.name, params.login, params.password, params.port,
                             params.socket);
        if (refusedRows == 0) return 0;
        std::fprintf(stderr, "%s\n", cstr(format(L"hvcdmt: %llu rows refused (%ls)", refusedRows, refusedTables.c_str()), CP_UTF8).c_str());
        return 5;
    }
    bool recreate = false;
    std::wstring managerLogin, managerPassword;
    for (int i = 3; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--recreate") == 0) {
            recreate = true;
        } else if (std::wcscmp(argv[i], L"--manager") == 0 && i + 2 < argc) {
            managerLogin = argv[++i];
            managerPassword = argv[++i];
        } else {
            return -2;
        }
    }
    provider->ImportSchema(document, params.host, params.name, params.login, params.password, params.port,
                           params.socket, recreate, managerLogin, managerPassword);
    return 0;
}

// The export and import commands; -1 when argv names none of them.
int transferCommand(int argc, wchar_t** argv) {
    const std::wstring name = argv[1];
    if (name != L"db-export" && name != L"db-import-schema" && name != L"db-import-data") return -1;
    if (argc < 3 || (name != L"db-import-schema" && argc != 3)) return -2;
    try {
        return transfer(name, argc, argv);
    } catch (const vexception& e) {
        std::fprintf(stderr, "%s\n", cstr(e.text(), CP_UTF8).c_str());
    } catch (const ComError& e) {
        std::wstring text = e.description().empty() ? e.errorMessage() : e.description();
        std::fprintf(stderr, "XML error 0x%08lX: %s\n", static_cast<unsigned long>(e.error()), cstr(text, CP_UTF8).c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
    return 1;
}

const char* const directoryHelp[] = {
    "mkdir PATH             create a directory and its missing parents",
    "mkdir-nested PATH      the same through HVC_createNestedDirectory",
    "rename-dir FROM TO     rename or move a directory tree, also to another volume",
    "rmtree [--force] PATH  remove a directory tree; --force takes over entries that resist",
};

// The directory commands; -1 when argv names none of them, -2 for wrong arguments.
int directoryCommand(int argc, wchar_t** argv) {
    const std::wstring name = argv[1];
    int status = 0;
    if (name == L"mkdir" || name == L"mkdir-nested") {
        if (argc != 3) return -2;
        std::string path = narrow(argv[2], CP_ACP);
        status = name == L"mkdir" ? bind<HVC_createDirectory_t>(HVC_NAME_createDirectory)(path.c_str())
                                  : bind<HVC_createNestedDirectory_t>(HVC_NAME_createNestedDirectory)(path.c_str());
    } else if (name == L"rename-dir") {
        if (argc != 4) return -2;
        std::string from = narrow(argv[2], CP_ACP), to = narrow(argv[3], CP_ACP);
        status = bind<HVC_renameDirectory_t>(HVC_NAME_renameDirectory)(from.c_str(), to.c_str());
    } else if (name == L"rmtree") {
        const bool force = argc >= 3 && std::wcscmp(argv[2], L"--force") == 0;
        if (argc != (force ? 4 : 3)) return -2;
        std::string path = narrow(argv[force ? 3 : 2], CP_ACP);
        status = bind<HVC_RemoveDirectoryTree_t>(HVC_NAME_RemoveDirectoryTree)(path.c_str(), force ? 1 : 0);
    } else {
        return -1;
    }
    if (status == 0) return 0;
    const char* text = bind<HVC_GetLastHvcDmtError_t>(HVC_NAME_GetLastHvcDmtError)();
    std::fprintf(stderr, "%s\n", text ? text : "(no error text)");
    return 1;
}

// One argument as CommandLineToArgvW reads it back: quoted when it holds a
// blank or a quote or is empty, backslashes doubled before a quote.
std::wstring quoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t unit : argument) {
        if (unit == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(unit == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(unit);
    }
    quoted.append(2 * backslashes, L'\\');
    return quoted + L"\"";
}

std::string readAll(HANDLE input) {
    std::string all;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(input, buffer, sizeof buffer, &read, nullptr) && read > 0) all.append(buffer, read);
    return all;
}

void writeAll(FILE* stream, const char* text) {
    if (!text) return;
    std::fwrite(text, 1, std::strlen(text), stream);
    std::fflush(stream);
}

// exec [--user U] [--dir D] [--input TEXT|-] [--env NAME=VALUE]... -- COMMAND LINE
// Sets badUsage instead of running when the arguments do not fit.
int execCommand(int argc, wchar_t** argv, bool& badUsage) {
    badUsage = true;
    std::wstring user, directory, input, environment, command;
    bool hasDirectory = false, hasInput = false, inputFromStdin = false;
    int i = 2;
    for (; i < argc && std::wcscmp(argv[i], L"--") != 0; ++i) {
        const std::wstring option = argv[i];
        if (i + 1 >= argc) return 2;
        const wchar_t* value = argv[++i];
        if (option == L"--user") {
            user = value;
        } else if (option == L"--dir") {
            directory = value;
            hasDirectory = true;
        } else if (option == L"--input") {
            hasInput = true;
            inputFromStdin = std::wcscmp(value, L"-") == 0;
            if (!inputFromStdin) input = value;
        } else if (option == L"--env") {
            environment += std::wstring(value) + L"\n";
        } else {
            return 2;
        }
    }
    if (i + 1 >= argc) return 2;  // no "--" or nothing after it
    badUsage = false;
    for (++i; i < argc; ++i) command += (command.empty() ? L"" : L" ") + quoteArgument(argv[i]);
    if (user.empty()) {
        wchar_t name[257];
        DWORD size = 257;
        if (GetUserNameW(name, &size)) user = name;
    }
    const std::string userText = narrow(user.c_str(), CP_ACP), commandText = narrow(command.c_str(), CP_ACP);
    const std::string directoryText = narrow(directory.c_str(), CP_ACP);
    const std::string environmentText = narrow(environment.c_str(), CP_ACP);
    const std::string inputText = inputFromStdin ? readAll(GetStdHandle(STD_INPUT_HANDLE)) : narrow(input.c_str(), CP_ACP);

    const char* output = nullptr;
    const char* errors = nullptr;
    const unsigned long code = bind<HVC_Execute_t>(HVC_NAME_Execute)(
        userText.c_str(), commandText.c_str(), hasDirectory ? directoryText.c_str() : nullptr, 0,
        hasInput ? inputText.c_str() : nullptr, &output, &errors, environment.empty() ? nullptr : environmentText.c_str());
    // A child may end with 0xFFFFFFFF too; only a failure leaves a text.
    const char* failure = bind<HVC_GetLastHvcDmtError_t>(HVC_NAME_GetLastHvcDmtError)();
    if (code == 0xFFFFFFFF && failure) {
        std::fprintf(stderr, "%s\n", failure);
        return 125;
    }
    auto freeString = bind<HVC_FreeString_t>(HVC_NAME_FreeString);
    // The child's bytes as they came: no text-mode line ends added.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    writeAll(stdout, output);
    writeAll(stderr, errors);
    if (output) freeString(output);
    if (errors) freeString(errors);
    return static_cast<int>(code);
}

int usage(FILE* out) {
    std::fprintf(out, "usage: hvcdmt COMMAND [ARGUMENT]\n\ncommands:\n");
    for (const Command& command : commands) std::fprintf(out, "  %s\n", command.help);
    for (const char* help : databaseHelp) std::fprintf(out, "  %s\n", help);
    for (const char* help : transferHelp) std::fprintf(out, "  %s\n", help);
    for (const char* help : directoryHelp) std::fprintf(out, "  %s\n", help);
    std::fprintf(out, "  exec [--user U] [--dir D] [--input TEXT|-] [--env NAME=VALUE]... -- COMMAND LINE\n"
                      "                         run a command line through the run-as service as U (guest,\n"
                      "                         root, system or an account name; default: this user); its\n"
                      "                         output and errors to ours, its exit code as ours; a failure\n"
                      "                         of the call exits 125 with the error text\n");
    std::fprintf(out, "  --help                 this text\n");
    return out == stdout ? 0 : 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return usage(stderr);
    if (std::wcscmp(argv[1], L"--help") == 0) return usage(stdout);

    int transferred = transferCommand(argc, argv);
    if (transferred == -2) return usage(stderr);
    if (transferred >= 0) return transferred;

    library = LoadLibraryW(L"hvcdmtutils.dll");
    if (!library) {
        std::fprintf(stderr, "hvcdmt: cannot load hvcdmtutils.dll (error %lu)\n", GetLastError());
        return 3;
    }
    if (std::wcscmp(argv[1], L"exec") == 0) {
        bool badUsage = false;
        int code = execCommand(argc, argv, badUsage);
        return badUsage ? usage(stderr) : code;
    }
    int database = databaseCommand(argc, argv);
    if (database == -2) return usage(stderr);
    if (database >= 0) return database;
    int directory = directoryCommand(argc, argv);
    if (directory == -2) return usage(stderr);
    if (directory >= 0) return directory;
    for (const Command& command : commands) {
        if (std::wcscmp(argv[1], command.name) != 0) continue;
        if (argc != 3) return usage(stderr);
        std::string argument = narrow(argv[2], command.codePage);
        // Every command here takes one string and returns a new block.
        auto call = bind<const char*(__cdecl*)(const char*)>(command.exportName);
        return printResult(call(argument.c_str()));
    }
    std::fprintf(stderr, "hvcdmt: unknown command\n");
    return usage(stderr);
}
