// hvcdmt: drives hvcdmtutils.dll the way a script host does. Loads the DLL,
// binds exports by their decorated names, prints a result on standard
// output or the library's error text on standard error (or, with --json,
// one JSON object). The database export and import commands are no exports:
// they run on the library's own core, and so do rmtree and rename-dir,
// whose walks report progress to this process.
#include <windows.h>
#include <objbase.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "database/connparams.h"
#include "database/mysql.h"
#include "database/xmlexport.h"
#include "fs/treepreview.h"
#include "hvcdmtutils.h"
#include "runtime/comerror.h"
#include "runtime/exceptions.h"
#include "runtime/exportframe.h"
#include "runtime/progress.h"
#include "runtime/text.h"

// The core's own directory exports (fs/exports.cpp), linked in.
HVC_EXPORT int __cdecl HVC_RemoveDirectoryTree(const char* path, int force);
HVC_EXPORT int __cdecl HVC_renameDirectory(const char* from, const char* to);

namespace {

HMODULE library;

// ---- what a command reports: text on the standard streams, or with --json
// one object on standard output: result, exitCode, error and the command's
// own fields.

bool json = false;
bool progressAsked = false;
std::string jsonFields;  // ,"key":value...
std::string failureText;  // UTF-8

// Ends the command with this exit code (what it reports is recorded already).
struct Exit {
    int code;
};

std::string toUtf8(const std::string& text, UINT codePage) { return cstr(wstr(text, codePage), CP_UTF8); }

std::string jsonText(const std::string& utf8) {
    std::string quoted = "\"";
    for (unsigned char c : utf8) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            quoted += escaped;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

void field(const char* key, const std::string& jsonValue) { jsonFields += ",\"" + std::string(key) + "\":" + jsonValue; }

// A result: a line on standard output, or the field `key`.
void result(const char* key, const std::string& text, UINT codePage) {
    if (json) return field(key, jsonText(toUtf8(text, codePage)));
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

// A failure's text: a line on standard error, or the object's error.
void failure(const std::string& text, UINT codePage) {
    if (json)
        failureText = toUtf8(text, codePage);
    else
        std::fprintf(stderr, "%s\n", text.c_str());
}

int finish(int code) {
    if (!json) return code;
    const std::string object = "{\"result\":" + jsonText(failureText.empty() ? "success" : "failure") +
                               ",\"exitCode\":" + std::to_string(code) +
                               ",\"error\":" + (failureText.empty() ? "null" : jsonText(failureText)) + jsonFields + "}\n";
    std::fwrite(object.data(), 1, object.size(), stdout);
    return code;
}

// ---- progress: one line on standard error, redrawn as a walk goes on; shown
// when standard error is a console, or always with --progress.

class ProgressLine : public progress::Observer {
public:
    ProgressLine(const char* label, progress::Step counted) : label_(label), counted_(counted) {
        DWORD mode = 0;
        shown_ = progressAsked || GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode);
    }
    ~ProgressLine() { end(); }

    void step(progress::Step step, const std::wstring& item, unsigned long long bytes) override {
        if (step != counted_) return;
        ++count_;
        if (step == progress::Step::Row) {
            bytes_ += bytes;
        } else {
            WIN32_FILE_ATTRIBUTE_DATA data;
            if (GetFileAttributesExW(item.c_str(), GetFileExInfoStandard, &data) &&
                !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                bytes_ += (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        }
        if (GetTickCount() - drawn_ >= 200) draw();
    }
    // Tree steps are told before they are taken: a failed walk did not finish its last.
    unsigned long long done(bool succeeded) const { return succeeded || count_ == 0 ? count_ : count_ - 1; }
    unsigned long long bytes() const { return bytes_; }
    // Clears the line, so that another line can be written to standard error.
    void clear() {
        if (width_ == 0) return;
        std::fprintf(stderr, "\r%*s\r", static_cast<int>(width_), "");
        width_ = 0;
    }
    // The final figures, once, on a line of their own.
    void end() {
        if (!shown_ || ended_) return;
        ended_ = true;
        draw();
        std::fputc('\n', stderr);
        width_ = 0;
    }

private:
    void draw() {
        drawn_ = GetTickCount();
        if (!shown_) return;
        char line[160];
        const int length = std::snprintf(line, sizeof line, "\r%s: %llu %s, %llu bytes, %.1f s", label_, count_,
                                          counted_ == progress::Step::Row ? "rows" : "entries", bytes_,
                                          (GetTickCount() - started_) / 1000.0);
        const size_t width = length > 1 ? static_cast<size_t>(length - 1) : 0;
        std::fprintf(stderr, "%s%*s", line, static_cast<int>(width_ > width ? width_ - width : 0), "");
        std::fflush(stderr);
        width_ = width > width_ ? width : width_;
    }

    const char* label_;
    progress::Step counted_;
    bool shown_ = false, ended_ = false;
    unsigned long long count_ = 0, bytes_ = 0;
    DWORD started_ = GetTickCount(), drawn_ = 0;
    size_t width_ = 0;
};

template <class T>
T bind(const char* name) {
    FARPROC proc = GetProcAddress(library, name);
    if (!proc) {
        failure(std::string("hvcdmt: export ") + name + " not found (error " + std::to_string(GetLastError()) + ")",
                CP_ACP);
        throw Exit{3};
    }
    return reinterpret_cast<T>(reinterpret_cast<void*>(proc));
}

std::string narrow(const wchar_t* text, UINT codePage) {
    int length = WideCharToMultiByte(codePage, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string result(length > 0 ? length - 1 : 0, '\0');
    if (length > 1) WideCharToMultiByte(codePage, 0, text, -1, &result[0], length, nullptr, nullptr);
    return result;
}

// A new block from an export (text in codePage), or the slot's text when it is null.
int printResult(const char* value, UINT codePage = CP_ACP) {
    if (!value) {
        auto lastError = bind<HVC_GetLastHvcDmtError_t>(HVC_NAME_GetLastHvcDmtError);
        const char* text = lastError();
        failure(text ? text : "(no error text)", CP_ACP);
        return 1;
    }
    result("value", value, codePage);
    bind<HVC_FreeString_t>(HVC_NAME_FreeString)(value);
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
        failure(text, CP_ACP);
        return true;
    };
    if (name == L"query") {
        std::string statement = narrow(argv[2], CP_ACP);
        const char* value = bind<HVC_QueryDbValue_t>(HVC_NAME_QueryDbValue)(statement.c_str());
        if (!value && !lastError()) {
            failure("hvcdmt: no row", CP_ACP);
            return 4;
        }
        return printResult(value);
    }
    if (name == L"exec-db") {
        std::string statement = narrow(argv[2], CP_ACP);
        long lastId = 0;
        bind<HVC_ExecuteDb_t>(HVC_NAME_ExecuteDb)(statement.c_str(), &lastId);
        if (failed()) return 1;
        if (json)
            field("insertId", std::to_string(lastId));
        else
            std::printf("%ld\n", lastId);
        return 0;
    }
    if (name == L"password") return printResult(bind<HVC_getPassword_t>(HVC_NAME_getPassword)());
    // This export never clears the slot itself.
    bind<HVC_FreeString_t>(HVC_NAME_FreeString)(nullptr);
    std::string host, database, port, login, password;
    bind<HVC_getOrvexDbConnectionInfo_t>(HVC_NAME_getOrvexDbConnectionInfo)(host, database, port, login, password);
    if (failed()) return 1;
    const std::pair<const char*, const std::string*> values[] = {
        {"host", &host}, {"name", &database}, {"port", &port}, {"login", &login}, {"password", &password}};
    for (const auto& value : values) {
        if (json)
            field(value.first, jsonText(toUtf8(*value.second, CP_ACP)));
        else
            std::printf("%s=%s\n", value.first, value.second->c_str());
    }
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

// The figures of one table: a line on standard error, or an entry of the
// object's list `key` (schema: columns; data: rows and those refused).
void tableLine(ProgressLine& progress, std::string& list, const wchar_t* what, const std::wstring& table,
               unsigned long long count, unsigned long long refused) {
    const bool rows = std::wcscmp(what, L"data") == 0;
    if (json) {
        list += (list.empty() ? "" : ",") + std::string("{\"table\":") + jsonText(cstr(table, CP_UTF8)) +
                (rows ? ",\"rows\":" : ",\"columns\":") + std::to_string(count) +
                (rows ? ",\"refused\":" + std::to_string(refused) : std::string()) + "}";
        return;
    }
    std::wstring line = format(L"%ls %ls: %llu %ls", what, table.c_str(), count, rows ? L"rows" : L"columns");
    if (refused) line += format(L", %llu refused", refused);
    progress.clear();
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

int transfer(const std::wstring& name, int argc, wchar_t** argv, ProgressLine& progress, std::string& schema,
             std::string& data) {
    struct Com {
        Com() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
        ~Com() { CoUninitialize(); }
    } com;
    std::unique_ptr<MySQLDatabaseProvider> provider = panelProvider();
    const bool dataImport = name == L"db-import-data";
    std::wstring refusedTables;
    unsigned long long refusedRows = 0;
    provider->setImportProgress([&](const std::wstring& table, unsigned long long count, unsigned long long refused) {
        tableLine(progress, dataImport ? data : schema, dataImport ? L"data" : L"schema", table, count, refused);
        if (refused) refusedTables += format(L"%ls%ls: %llu", refusedTables.empty() ? L"" : L", ", table.c_str(), refused);
        refusedRows += refused;
    });
    if (name == L"db-export") {
        connectOnDemand(*provider);
        exportMySQLDatabase(
            *provider, fullPath(argv[2]),
            [&](const std::wstring& table, unsigned long long columns) {
                tableLine(progress, schema, L"schema", table, columns, 0);
            },
            [&](const std::wstring& table, unsigned long long rows) { tableLine(progress, data, L"data", table, rows, 0); });
        return 0;
    }
    DbConnectionParams params = getDbConnectionParams();
    const std::wstring document = fullPath(argv[2]);
    if (dataImport) {
        provider->ImportData(document, params.host, params.name, params.login, params.password, params.port,
                             params.socket);
        if (refusedRows == 0) return 0;
        if (!json)
            std::fprintf(stderr, "%s\n",
                         cstr(format(L"hvcdmt: %llu rows refused (%ls)", refusedRows, refusedTables.c_str()), CP_UTF8)
                             .c_str());
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
    std::string schema, data;
    int result = 1;
    {
        ProgressLine progress(name == L"db-export" ? "export" : "import", progress::Step::Row);
        progress::Scope observing(progress);
        try {
            result = transfer(name, argc, argv, progress, schema, data);
        } catch (const vexception& e) {
            progress.clear();
            failure(cstr(e.text(), CP_UTF8), CP_UTF8);
        } catch (const ComError& e) {
            progress.clear();
            std::wstring text = e.description().empty() ? e.errorMessage() : e.description();
            char code[40];
            std::snprintf(code, sizeof code, "XML error 0x%08lX: ", static_cast<unsigned long>(e.error()));
            failure(code + cstr(text, CP_UTF8), CP_UTF8);
        } catch (const std::exception& e) {
            progress.clear();
            failure(e.what(), CP_ACP);
        }
    }
    if (name != L"db-import-data") field("schema", "[" + schema + "]");
    if (name != L"db-import-schema") field("data", "[" + data + "]");
    return result;
}

const char* const directoryHelp[] = {
    "mkdir PATH             create a directory and its missing parents",
    "mkdir-nested PATH      the same through HVC_createNestedDirectory",
    "rename-dir FROM TO     rename or move a directory tree, also to another volume",
    "rmtree [--force] PATH  remove a directory tree; --force takes over entries that resist",
    "rmtree --dry-run PATH  list what rmtree would remove, marking what would need --force; changes nothing",
};

// Lists the entries a removal would meet.
int dryRun(const std::wstring& path) {
    std::string list;
    unsigned long long bytes = 0, resisting = 0;
    const std::vector<TreePreviewEntry> entries = previewRemoval(path);
    for (const TreePreviewEntry& entry : entries) {
        const char* kind = entry.link ? "link" : entry.directory ? "dir" : "file";
        std::string reasons;
        for (const std::wstring& reason : entry.forceReasons) reasons += (reasons.empty() ? "" : ", ") + cstr(reason, CP_UTF8);
        bytes += entry.bytes;
        resisting += !reasons.empty();
        const std::string where = cstr(entry.path, CP_UTF8);
        if (json) {
            list += (list.empty() ? "{" : ",{") + std::string("\"path\":") + jsonText(where) + ",\"kind\":\"" + kind +
                    "\",\"bytes\":" + std::to_string(entry.bytes) + ",\"force\":[";
            for (size_t i = 0; i < entry.forceReasons.size(); ++i)
                list += (i ? "," : "") + jsonText(cstr(entry.forceReasons[i], CP_UTF8));
            list += "]}";
        } else {
            std::printf("%-4s %s%s%s%s\n", kind, where.c_str(), reasons.empty() ? "" : "  (needs --force: ", reasons.c_str(),
                        reasons.empty() ? (entry.link ? "  (removed as a link, its target kept)" : "") : ")");
        }
    }
    if (json) {
        field("entries", "[" + list + "]");
        field("bytes", std::to_string(bytes));
        field("needForce", std::to_string(resisting));
    } else {
        std::printf("%llu entries, %llu bytes, %llu would need --force; nothing was changed\n",
                    static_cast<unsigned long long>(entries.size()), bytes, resisting);
    }
    return 0;
}

// The directory commands; -1 when argv names none of them, -2 for wrong
// arguments. The tree commands run on the library's own core (the same
// export functions the DLL holds), whose walks tell this thread's progress
// observer about every entry.
int directoryCommand(int argc, wchar_t** argv) {
    const std::wstring name = argv[1];
    int status = 0;
    const char* text = nullptr;
    if (name == L"mkdir" || name == L"mkdir-nested") {
        if (argc != 3) return -2;
        std::string path = narrow(argv[2], CP_ACP);
        status = name == L"mkdir" ? bind<HVC_createDirectory_t>(HVC_NAME_createDirectory)(path.c_str())
                                  : bind<HVC_createNestedDirectory_t>(HVC_NAME_createNestedDirectory)(path.c_str());
        if (status != 0) text = bind<HVC_GetLastHvcDmtError_t>(HVC_NAME_GetLastHvcDmtError)();
    } else if (name == L"rename-dir" || name == L"rmtree") {
        bool force = false, dry = false;
        int i = 2;
        for (; name == L"rmtree" && i < argc && argv[i][0] == L'-' && argv[i][1] == L'-'; ++i) {
            if (std::wcscmp(argv[i], L"--force") == 0)
                force = true;
            else if (std::wcscmp(argv[i], L"--dry-run") == 0)
                dry = true;
            else
                return -2;
        }
        if (argc - i != (name == L"rmtree" ? 1 : 2)) return -2;
        if (dry) return dryRun(argv[i]);
        const std::string first = narrow(argv[i], CP_ACP), second = name == L"rmtree" ? "" : narrow(argv[i + 1], CP_ACP);
        const bool removing = name == L"rmtree";
        ProgressLine progress(removing ? "removed" : "moved", removing ? progress::Step::Remove : progress::Step::Move);
        {
            progress::Scope observing(progress);
            status = removing ? HVC_RemoveDirectoryTree(first.c_str(), force ? 1 : 0)
                              : HVC_renameDirectory(first.c_str(), second.c_str());
        }
        progress.end();
        field(removing ? "entriesRemoved" : "entriesMoved", std::to_string(progress.done(status == 0)));
        field("bytes", std::to_string(progress.bytes()));
        if (status != 0) text = exportframe::lastError();
    } else {
        return -1;
    }
    if (status == 0) return 0;
    failure(text ? text : "(no error text)", CP_ACP);
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
    const char* failed = bind<HVC_GetLastHvcDmtError_t>(HVC_NAME_GetLastHvcDmtError)();
    if (code == 0xFFFFFFFF && failed) {
        failure(failed, CP_ACP);
        return 125;
    }
    auto freeString = bind<HVC_FreeString_t>(HVC_NAME_FreeString);
    if (json) {  // the child's texts, read as the ANSI code page
        field("output", jsonText(toUtf8(output ? output : "", CP_ACP)));
        field("errors", jsonText(toUtf8(errors ? errors : "", CP_ACP)));
    } else {
        // The child's bytes as they came: no text-mode line ends added.
        _setmode(_fileno(stdout), _O_BINARY);
        _setmode(_fileno(stderr), _O_BINARY);
        writeAll(stdout, output);
        writeAll(stderr, errors);
    }
    if (output) freeString(output);
    if (errors) freeString(errors);
    return static_cast<int>(code);
}

// The FileVersion text of a module's version resource; empty when it has none.
std::wstring fileVersion(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    std::vector<BYTE> data(size);
    if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return std::wstring();
    WORD* translation = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                        &length) ||
        length < 2 * sizeof(WORD))
        return std::wstring();
    wchar_t key[64];
    swprintf(key, 64, L"\\StringFileInfo\\%04x%04x\\FileVersion", translation[0], translation[1]);
    wchar_t* text = nullptr;
    if (!VerQueryValueW(data.data(), key, reinterpret_cast<void**>(&text), &length) || length == 0) return std::wstring();
    return text;
}

std::wstring modulePath(HMODULE module) {
    wchar_t path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH * 4);
    return std::wstring(path, length < MAX_PATH * 4 ? length : 0);
}

// Both versions from their resources, and which DLL was loaded.
int versionCommand() {
    const std::wstring cli = fileVersion(modulePath(nullptr)), dllPath = modulePath(library);
    const std::wstring dll = fileVersion(dllPath);
    if (cli.empty() || dll.empty()) failure("hvcdmt: a version resource is missing", CP_ACP);
    if (json) {
        field("cliVersion", jsonText(cstr(cli, CP_UTF8)));
        field("dllVersion", jsonText(cstr(dll, CP_UTF8)));
        field("dllPath", jsonText(cstr(dllPath, CP_UTF8)));
    } else {
        std::printf("hvcdmt %s\nhvcdmtutils.dll %s %s\n", cli.empty() ? "(none)" : cstr(cli, CP_UTF8).c_str(),
                    dll.empty() ? "(none)" : cstr(dll, CP_UTF8).c_str(), cstr(dllPath, CP_UTF8).c_str());
    }
    return cli.empty() || dll.empty() ? 1 : 0;
}

int usage(FILE* out) {
    if (out == stderr && json) failureText = "wrong arguments (hvcdmt --help lists them)";
    std::fprintf(out, "usage: hvcdmt [--json] [--progress] COMMAND [ARGUMENT]\n\ncommands:\n");
    for (const Command& command : commands) std::fprintf(out, "  %s\n", command.help);
    for (const char* help : databaseHelp) std::fprintf(out, "  %s\n", help);
    for (const char* help : transferHelp) std::fprintf(out, "  %s\n", help);
    for (const char* help : directoryHelp) std::fprintf(out, "  %s\n", help);
    std::fprintf(out, "  exec [--user U] [--dir D] [--input TEXT|-] [--env NAME=VALUE]... -- COMMAND LINE\n"
                      "                         run a command line through the run-as service as U (guest,\n"
                      "                         root, system or an account name; default: this user); its\n"
                      "                         output and errors to ours, its exit code as ours\n");
    std::fprintf(out, "  --version              the versions of this host and of the DLL it loads, and the DLL's path\n");
    std::fprintf(out, "  --help                 this text\n\n"
                      "options (anywhere before an exec's --):\n"
                      "  --json                 print one JSON object instead of text: result, exitCode, error\n"
                      "                         and the command's figures (rows per table, entries moved, ...)\n"
                      "  --progress             show the progress line of rename-dir, rmtree, db-export,\n"
                      "                         db-import-schema and db-import-data also when standard error\n"
                      "                         is no console (on a console it is always shown)\n\n"
                      "exit codes:\n"
                      "  0    success (exec: the child's own exit code)\n"
                      "  1    the library reported a failure (its text on standard error)\n"
                      "  2    wrong arguments\n"
                      "  3    hvcdmtutils.dll or one of its exports could not be loaded\n"
                      "  4    query: no row\n"
                      "  5    db-import-data: rows were refused (their count per table on standard error)\n"
                      "  125  exec: the call itself failed\n");
    return out == stdout ? 0 : 2;
}

// The command named by argv[1], once the global options are taken out.
int run(int argc, wchar_t** argv) {
    if (argc < 2) return usage(stderr);
    if (std::wcscmp(argv[1], L"--help") == 0) return usage(stdout);

    int transferred = transferCommand(argc, argv);
    if (transferred == -2) return usage(stderr);
    if (transferred >= 0) return transferred;
    if (std::wcscmp(argv[1], L"rmtree") == 0 || std::wcscmp(argv[1], L"rename-dir") == 0) {
        int tree = directoryCommand(argc, argv);
        return tree == -2 ? usage(stderr) : tree;
    }

    library = LoadLibraryW(L"hvcdmtutils.dll");
    if (!library) {
        failure("hvcdmt: cannot load hvcdmtutils.dll (error " + std::to_string(GetLastError()) + ")", CP_ACP);
        return 3;
    }
    if (std::wcscmp(argv[1], L"--version") == 0) return versionCommand();
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
        return printResult(call(argument.c_str()), command.codePage);
    }
    failure("hvcdmt: unknown command", CP_ACP);
    if (json) return 2;
    return usage(stderr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // --json and --progress may stand anywhere before an exec's "--".
    std::vector<wchar_t*> args;
    bool separated = false;
    for (int i = 0; i < argc; ++i) {
        separated = separated || std::wcscmp(argv[i], L"--") == 0;
        if (!separated && i > 0 && std::wcscmp(argv[i], L"--json") == 0)
            json = true;
        else if (!separated && i > 0 && std::wcscmp(argv[i], L"--progress") == 0)
            progressAsked = true;
        else
            args.push_back(argv[i]);
    }
    int code = 0;
    try {
        code = run(static_cast<int>(args.size()), args.data());
    } catch (const Exit& exit) {
        code = exit.code;
    }
    return finish(code);
}
