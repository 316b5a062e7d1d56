// Soak: every export called many times with valid and invalid arguments,
// then from several threads at once, then against a management service
// that answers wrongly. Prints the process's handle count and private bytes
// around each phase, and fails (exit code 1) when either grows, a result is
// wrong, a failure text is not the library's own, or threads do not finish.
//   hvcsoak [--calls N] [--threads T] [--per-thread N] [--malformed N] [--db CONNECTION_ENV]
// The stand-in management service (orvexsrv.exe next to this program) is
// started and stopped here; the database is the one the file names (the
// file scripts/mariadb.sh writes), and its exports are left out without one.
#include <windows.h>
#include <psapi.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "bench/benchutil.h"
#include "exports/hvcdmtutils.h"
#include "runtime/owners.h"
#include "tests/testutil.h"

namespace {

using bench::bind;
using bench::binDirectory;

struct Options {
    int calls = 10000;
    int threads = 8;
    int perThread = 1000;
    int malformed = 10000;
    std::string db;
} options;

std::atomic<int> failures{0};
// The slot is one per process: with several threads calling, a failure's
// text may be replaced before its caller reads it, so the threads check
// results only.
bool checkTexts = true;

void fail(const std::string& what) {
    if (failures++ < 20) std::printf("soak: FAILED %s\n", what.c_str());
}

struct Usage {
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
};

// Wine reports neither the handle count nor PrivateUsage: handles are
// counted by probing, private bytes are the commit charge.
Usage usageNow() {
    Usage usage;
    usage.handles = testutil::openHandleCount();
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    usage.privateBytes = memory.PagefileUsage;
    return usage;
}

// Runs the phase after a warm-up and reports what it left behind. Handles
// must come back exactly; private bytes may move by the heap's own slack.
void measured(const char* name, int warmUp, const std::function<void()>& phase, const std::function<void()>& step,
              bool check = true) {
    for (int i = 0; i < warmUp; ++i) step();
    Usage before = usageNow();
    const ULONGLONG start = GetTickCount64();
    phase();
    const double seconds = (GetTickCount64() - start) / 1000.0;
    Usage after = usageNow();
    const long long grown = static_cast<long long>(after.privateBytes) - static_cast<long long>(before.privateBytes);
    std::printf("soak: %-30s %7.1f s, handles %lu -> %lu, commit %.1f -> %.1f MiB\n", name, seconds, before.handles,
                after.handles, before.privateBytes / 1048576.0, after.privateBytes / 1048576.0);
    std::fflush(stdout);
    if (!check) return;
    if (after.handles > before.handles) fail(std::string(name) + ": handles grew");
    if (grown > 4 * 1048576) fail(std::string(name) + ": private bytes grew by " + std::to_string(grown));
}

// The parameter file the stand-in management service serves, for the soak.
class ParameterFile {
public:
    ParameterFile() {
        wchar_t temp[MAX_PATH];
        path_ = std::wstring(temp, GetTempPathW(MAX_PATH, temp)) + L"hvcsoak-" +
                std::to_wstring(GetCurrentProcessId()) + L".txt";
        std::ofstream(path_.c_str(), std::ios::binary) << "param SOAK=value of the soak\n";
    }
    ~ParameterFile() { DeleteFileW(path_.c_str()); }
    // The management stand-in with switches such as a fault.
    std::wstring arguments(const std::wstring& switches) const { return switches + L" \"" + path_ + L"\""; }

private:
    std::wstring path_;
};

struct Exports {
    HVC_Base64Decode_t base64;
    HVC_FreeString_t freeString;
    HVC_GetLastHvcDmtError_t lastError;
    HVC_GetParam_t getParam;
    HVC_QueryDbValue_t query;
    HVC_ExecuteDb_t executeDb;
    HVC_idn_toAscii_t toAscii;
    HVC_idn_toUtf8_t toUtf8;
    HVC_createDirectory_t createDirectory;
    HVC_createNestedDirectory_t createNestedDirectory;
    HVC_renameDirectory_t renameDirectory;
    HVC_RemoveDirectoryTree_t removeTree;
    HVC_Execute_t execute;
} dll;

std::string scratch;  // a directory of the soak's own under the temporary directory

std::string slot() {
    const char* text = dll.lastError();
    return text ? text : "";
}

// A returned block: its text, released; "(null)" for none.
std::string take(const char* block) {
    if (!block) return "(null)";
    std::string text = block;
    dll.freeString(block);
    return text;
}

// A failure of the library's own: a text, neither the catch-all's nor a
// machine fault's.
bool ownFailure(const std::string& text) {
    return !text.empty() && text != "Unknown exception occured in HvcDmtLib" && text.rfind("C Exception", 0) != 0;
}

void expectValue(const char* what, const std::string& got, const std::string& wanted) {
    if (got != wanted) fail(std::string(what) + ": got '" + got + "', wanted '" + wanted + "'");
}

void expectFailure(const char* what, const char* result) {
    if (result) {
        dll.freeString(result);
        fail(std::string(what) + ": succeeded");
    } else if (checkTexts && !ownFailure(slot())) {
        fail(std::string(what) + ": failure text '" + slot() + "'");
    }
}

// One step of each export family, valid or invalid by the counter's parity.
std::vector<std::pair<const char*, std::function<void(int)>>> families() {
    const std::string longText(100000, 'x');
    std::vector<std::pair<const char*, std::function<void(int)>>> list = {
        {"HVC_idn_toAscii", [longText](int i) {
             if (i % 2) expectValue("toAscii", take(dll.toAscii("b\xC3\xBC" "cher.example")), "xn--bcher-kva.example");
             else expectFailure("toAscii", dll.toAscii(i % 4 ? nullptr : longText.c_str()));
         }},
        {"HVC_idn_toUtf8", [](int i) {
             if (i % 2) expectValue("toUtf8", take(dll.toUtf8("xn--bcher-kva.example")), "b\xC3\xBC" "cher.example");
             else expectFailure("toUtf8", dll.toUtf8(nullptr));
         }},
        {"HVC_Base64Decode", [](int i) {
             expectValue("base64", take(dll.base64(i % 2 ? "YWJj" : nullptr)), i % 2 ? "abc" : "");
         }},
        {"HVC_GetParam", [](int i) {
             if (i % 2) expectValue("getParam", take(dll.getParam("SOAK")), "value of the soak");
             else expectFailure("getParam", dll.getParam(i % 4 ? nullptr : "MISSING"));
         }},
    };
    list.push_back({"directory exports", [](int i) {
        // Each thread works below its own directory.
        const std::string base = scratch + "\\" + std::to_string(GetCurrentThreadId());
        if (i % 2) {
            const std::string tree = base + "\\a\\b", moved = base + "\\moved";
            if (dll.createDirectory(tree.c_str()) != 0) fail("createDirectory: " + slot());
            if (dll.createNestedDirectory((tree + "\\c").c_str()) != 0) fail("createNestedDirectory: " + slot());
            if (dll.renameDirectory((base + "\\a").c_str(), moved.c_str()) != 0) fail("renameDirectory: " + slot());
            if (dll.removeTree(base.c_str(), i % 4 == 1) != 0) fail("RemoveDirectoryTree: " + slot());
            if (GetFileAttributesA(base.c_str()) != INVALID_FILE_ATTRIBUTES) fail("RemoveDirectoryTree left the tree");
        } else {
            if (dll.createDirectory(i % 4 ? nullptr : "") != 1) fail("createDirectory: no failure");
            if (dll.renameDirectory((base + "\\none").c_str(), (base + "\\other").c_str()) != 1)
                fail("renameDirectory of a missing directory succeeded");
            if (dll.removeTree((base + "\\none").c_str(), 0) != 0) fail("RemoveDirectoryTree of nothing failed");
        }
    }});
    list.push_back({"HVC_Execute", [](int i) {
        const char *output = nullptr, *errors = nullptr;
        if (i % 2) {
            unsigned long code = dll.execute("guest", "hvcchild.exe out soak err two exit 3", nullptr, 0, nullptr,
                                             &output, &errors, nullptr);
            if (code != 3) fail("execute: exit code " + std::to_string(code) + " " + slot());
            expectValue("execute output", take(output), "soak");
            expectValue("execute errors", take(errors), "two");
        } else if (dll.execute(i % 4 ? nullptr : "guest", i % 4 ? "x" : nullptr, nullptr, 0, nullptr, &output, &errors,
                               nullptr) != 0xFFFFFFFFul) {
            fail("execute: no failure");
        }
    }});
    if (!options.db.empty()) {
        list.push_back({"HVC_QueryDbValue", [](int i) {
                            if (i % 2) expectValue("query", take(dll.query("select 6 * 7")), "42");
                            else expectFailure("query", dll.query(i % 4 ? nullptr : "selec nothing"));
                        }});
        list.push_back({"HVC_ExecuteDb", [](int i) {
                            long id = -1;
                            dll.executeDb(i % 2 ? "do 1" : "do nothing at all", &id);
                            if (checkTexts && (i % 2) != slot().empty()) fail("executeDb: slot '" + slot() + "'");
                            if ((i % 2) && id != 0) fail("executeDb: insert id " + std::to_string(id));
                        }});
    }
    return list;
}

// The database's connection parameters from scripts/mariadb.sh's file, as
// the library's environment overrides name them.
void useDatabase(const std::string& file) {
    const auto values = bench::readConnectionFile(file.c_str());
    if (values.empty()) {
        std::fprintf(stderr, "cannot read %s\n", file.c_str());
        std::exit(2);
    }
    static const char* const names[][2] = {{"HVC_DB_HOST", "ORVEX_DB_HOST"},   {"HVC_DB_PORT", "ORVEX_DB_PORT"},
                                           {"HVC_DB_NAME", "ORVEX_DB_NAME"},   {"HVC_DB_LOGIN", "ORVEX_DB_LOGIN"},
                                           {"HVC_DB_PASSWORD", "ORVEX_DB_PASSWD"}};
    for (const auto& pair : names) {
        auto found = values.find(pair[0]);
        if (found != values.end()) SetEnvironmentVariableA(pair[1], found->second.c_str());
    }
}

unsigned __stdcall threadMain(void* argument) {
    auto* list = static_cast<std::vector<std::pair<const char*, std::function<void(int)>>>*>(argument);
    for (int i = 0; i < options.perThread; ++i) (*list)[i % list->size()].second(i / list->size());
    return 0;
}

bool parse(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (i + 1 >= argc) return false;
        std::string value = argv[++i];
        if (arg == "--calls") options.calls = std::atoi(value.c_str());
        else if (arg == "--threads") options.threads = std::atoi(value.c_str());
        else if (arg == "--per-thread") options.perThread = std::atoi(value.c_str());
        else if (arg == "--malformed") options.malformed = std::atoi(value.c_str());
        else if (arg == "--db") options.db = value;
        else return false;
    }
    return options.calls > 0 && options.threads > 0 && options.perThread > 0 && options.malformed > 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (!parse(argc, argv)) {
        std::fprintf(stderr, "usage: hvcsoak [--calls N] [--threads T] [--per-thread N] [--malformed N] [--db FILE]\n");
        return 2;
    }
    if (!options.db.empty()) useDatabase(options.db);
    HMODULE module = bench::loadLibrary();
    dll = {bind<HVC_Base64Decode_t>(module, HVC_NAME_Base64Decode), bind<HVC_FreeString_t>(module, HVC_NAME_FreeString),
           bind<HVC_GetLastHvcDmtError_t>(module, HVC_NAME_GetLastHvcDmtError),
           bind<HVC_GetParam_t>(module, HVC_NAME_GetParam), bind<HVC_QueryDbValue_t>(module, HVC_NAME_QueryDbValue),
           bind<HVC_ExecuteDb_t>(module, HVC_NAME_ExecuteDb), bind<HVC_idn_toAscii_t>(module, HVC_NAME_idn_toAscii),
           bind<HVC_idn_toUtf8_t>(module, HVC_NAME_idn_toUtf8),
           bind<HVC_createDirectory_t>(module, HVC_NAME_createDirectory),
           bind<HVC_createNestedDirectory_t>(module, HVC_NAME_createNestedDirectory),
           bind<HVC_renameDirectory_t>(module, HVC_NAME_renameDirectory),
           bind<HVC_RemoveDirectoryTree_t>(module, HVC_NAME_RemoveDirectoryTree),
           bind<HVC_Execute_t>(module, HVC_NAME_Execute)};
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    scratch = std::string(temp) + "hvcsoak-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(scratch.c_str(), nullptr);
    // hvcchild.exe, the execute family's child, lies next to this program.
    const std::wstring bin = binDirectory();
    SetCurrentDirectoryW(bin.c_str());
    auto list = families();
    const ParameterFile parameters;
    {
        bench::StandIn service(L"orvexsrv.exe", parameters.arguments(L"")), runAs(L"runassrv.exe", L"");
        for (auto& family : list) {
            // A child process per call: a tenth as many.
            const int calls = std::strcmp(family.first, "HVC_Execute") == 0 ? options.calls / 10 + 2 : options.calls;
            measured(family.first, 20, [&] { for (int i = 0; i < calls; ++i) family.second(i); },
                     [&] { family.second(1); family.second(0); });
        }
        checkTexts = false;
        auto threadRound = [&] {
            std::vector<UniqueHandle> threads;
            for (int t = 0; t < options.threads; ++t)
                threads.emplace_back(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, threadMain, &list, 0, nullptr)));
            for (const UniqueHandle& thread : threads)
                if (WaitForSingleObject(thread.get(), 600000) != WAIT_OBJECT_0) fail("threads: a thread did not finish");
        };
        // The first round grows the heap for the threads' peak; the next ones
        // must not grow it further.
        measured("threads (first round)", 0, threadRound, [] {}, false);
        measured("threads", 0, threadRound, [] {});
        checkTexts = true;
    }
    // Malformed answers, as many of each kind; every call must fail with a
    // text of the library's own and leave nothing behind.
    const wchar_t* const faults[] = {L"--fault zero",      L"--fault charsize3", L"--fault truncated",
                                     L"--fault short",     L"--fault random",    L"--fault oversized",
                                     L"--fault double-error", L"--close-after 1"};
    const int perFault = options.malformed / static_cast<int>(sizeof faults / sizeof faults[0]) + 1;
    for (const wchar_t* fault : faults) {
        bench::StandIn service(L"orvexsrv.exe", parameters.arguments(fault));
        std::string name = "malformed " + std::string(fault, fault + std::wcslen(fault));
        auto step = [] {
            const char* result = dll.getParam("SOAK");
            // An early close only breaks a request now and then: the
            // channel reconnects once.
            if (result) dll.freeString(result);
            else if (!ownFailure(slot())) fail("malformed: failure text '" + slot() + "'");
        };
        measured(name.c_str(), 20, [&] { for (int i = 0; i < perFault; ++i) step(); }, step);
    }
    dll.removeTree(scratch.c_str(), 1);
    std::printf("soak: %d failures\n", failures.load());
    return failures ? 1 : 0;
}
