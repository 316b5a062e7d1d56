// Cost of the XML import and export of the MySQL back end against the bare
// client library on the same server, as ratios measured in one run:
//  - importing a data document of N rows (MySQLDatabaseProvider::ImportData)
//    against sending the same INSERT statements, prepared beforehand, with
//    mysql_real_query on one connection;
//  - exporting the table as XML into a file (exportData into the XML file writer)
//    against SELECT * with mysql_store_result written with fprintf.
// When the import is slower, the same document is also run without sending
// the inserts, and through a handler that does nothing, to show where the
// time goes. Run under Wine:
//   hvcbench_import.exe CONNECTION_ENV [rows]
#include <windows.h>
#include <objbase.h>
#include <psapi.h>

#include <mysql.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench/benchutil.h"
#include "database/import/contenthandler.h"
#include "database/mysql.h"
#include "database/xml.h"
#include "runtime/cancellation.h"
#include "runtime/comerror.h"
#include "runtime/log.h"
#include "runtime/setranslator.h"
#include "runtime/exceptions.h"
#include "runtime/owners.h"
#include "runtime/text.h"

namespace {

using UniqueFile = UniqueAny<FILE*, &std::fclose>;

const wchar_t* const databaseName = L"hvc_bench_import";

double seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::map<std::string, std::string> readEnv(const char* path) {
    std::map<std::string, std::string> values;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t equal = line.find('=');
        if (equal != std::string::npos) values[line.substr(0, equal)] = line.substr(equal + 1);
    }
    return values;
}

std::wstring xmlEscaped(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) {
        switch (c) {
        case L'<': out += L"&lt;"; break;
        case L'>': out += L"&gt;"; break;
        case L'&': out += L"&amp;"; break;
        case L'"': out += L"&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

struct Row {
    std::wstring id, name, note, amount, seen;  // empty note/seen: NULL every few rows
    bool noteNull, seenNull;
};

std::vector<Row> makeRows(int count) {
    std::vector<Row> rows;
    rows.reserve(static_cast<size_t>(count));
    for (int i = 1; i <= count; ++i) {
        Row row;
        row.id = std::to_wstring(i);
        row.name = L"client-" + std::to_wstring(i) + (i % 7 == 0 ? L" O'Brien" : L"") + (i % 11 == 0 ? L" Grüße" : L"");
        row.noteNull = i % 5 == 0;
        row.note = row.noteNull ? L"" : L"note " + std::to_wstring(i * 37) + L" with \\ and \"quotes\" <tag>";
        row.amount = std::to_wstring(i % 1000);
        row.seenNull = i % 3 == 0;
        row.seen = row.seenNull ? L"" : format(L"2024-%02d-%02d 12:%02d:%02d", 1 + i % 12, 1 + i % 28, i % 60, (i * 7) % 60);
        rows.push_back(row);
    }
    return rows;
}

void writeDocument(const std::wstring& path, const std::vector<Row>& rows) {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<data><table name=\"bench\">\n";
    auto field = [&](const wchar_t* name, const std::wstring& value, bool isNull) {
        std::wstring f = isNull ? format(L"<field name=\"%ls\" isnull=\"true\"/>", name)
                                : format(L"<field name=\"%ls\">%ls</field>", name, xmlEscaped(value).c_str());
        text += cstr(f, CP_UTF8);
    };
    for (const Row& row : rows) {
        text += "<row>";
        field(L"id", row.id, false);
        field(L"name", row.name, false);
        field(L"note", row.note, row.noteNull);
        field(L"amount", row.amount, false);
        field(L"seen", row.seen, row.seenNull);
        text += "</row>\n";
    }
    text += "</table></data>\n";
    std::ofstream(cstr(path), std::ios::binary) << text;
}

// The importer without the inserts reaching the server.
class DryRunProvider : public MySQLDatabaseProvider {
public:
    void execute(const std::wstring& statement) override {
        if (statement.compare(0, 6, L"INSERT") == 0) return;
        MySQLDatabaseProvider::execute(statement);
    }
};

std::wstring dbScalar(IDatabaseProvider& provider, const std::wstring& statement) {
    RecordSetRef records(provider.query(statement));
    return records->next() ? records->getValue(0, L"", false) : std::wstring();
}

double memoryInUseMiB() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PagefileUsage / 1048576.0;
}

// Takes export events and samples the memory in use every 1,000 element ends.
class MemorySampler final : public ContentHandlerWrapper {
public:
    void endElement(const wchar_t*, int, const wchar_t*, int, const wchar_t*, int) override {
        if (++ends_ % 1000 == 0) highest = std::max(highest, memoryInUseMiB());
    }
    double first = memoryInUseMiB(), highest = first;

private:
    unsigned long long ends_ = 0;
};

// The SAX reader alone over the document.
class NullHandler final : public ContentHandlerWrapper {};

void check(MYSQL* mysql, int result, const char* what) {
    if (result != 0) {
        std::fprintf(stderr, "%s: %s\n", what, mysql_error(mysql));
        std::exit(1);
    }
}

}  // namespace

int run(int argc, char** argv);

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const vexception& e) {
        std::fprintf(stderr, "%s\n", cstr(e.fullText(), CP_UTF8).c_str());
    } catch (const ComError& e) {
        std::fprintf(stderr, "COM error 0x%08lX\n", static_cast<unsigned long>(e.error()));
    }
    return 1;
}

int run(int argc, char** argv) {
    // ./build.sh bench names the server in the environment and runs a smaller table.
    const char* fromEnvironment = std::getenv("HVC_BENCH_DB_ENV");
    if (argc < 2 && fromEnvironment && *fromEnvironment) {
        static char program[] = "hvcbench_import", file[MAX_PATH], rows[] = "20000";
        std::snprintf(file, sizeof file, "%s", fromEnvironment);
        static char* arguments[] = {program, file, rows, nullptr};
        return run(3, arguments);
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: hvcbench_import CONNECTION_ENV [rows]\n");
        return 2;
    }
    const int rowCount = argc > 2 ? std::atoi(argv[2]) : 100000;
    auto env = readEnv(argv[1]);
    const std::string host = env["HVC_DB_HOST"], login = env["HVC_DB_LOGIN"], password = env["HVC_DB_PASSWORD"];
    const int port = std::atoi(env["HVC_DB_PORT"].c_str());
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    UniqueMysql bare(mysql_init(nullptr));
    if (!mysql_real_connect(bare.get(), host.c_str(), login.c_str(), password.c_str(), nullptr,
                            static_cast<unsigned>(port), nullptr, 0)) {
        std::fprintf(stderr, "connect: %s\n", mysql_error(bare.get()));
        return 1;
    }
    auto run = [&](const std::string& statement) {
        check(bare.get(), mysql_real_query(bare.get(), statement.data(), statement.size()), statement.c_str());
        UniqueMysqlResult ignored(mysql_store_result(bare.get()));
    };
    run("SET NAMES 'utf8'");
    run("DROP DATABASE IF EXISTS hvc_bench_import");
    run("CREATE DATABASE hvc_bench_import DEFAULT CHARSET=utf8");
    run("USE hvc_bench_import");
    run("CREATE TABLE bench (id int(11) NOT NULL AUTO_INCREMENT, name varchar(64) NOT NULL, note text, "
        "amount int(11) DEFAULT NULL, seen datetime DEFAULT NULL, PRIMARY KEY (id)) ENGINE=InnoDB DEFAULT CHARSET=utf8");
    // Every import ends with the counter table's reset, as after a schema import.
    run(cstr(counterTableCreate));
    // The server's log flush per commit (both sides commit every row) would
    // hide the clients' own cost; restored at the end.
    run("SET GLOBAL innodb_flush_log_at_trx_commit=0");

    const std::vector<Row> rows = makeRows(rowCount);
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring document = std::wstring(temp) + L"hvcbench-import-" + std::to_wstring(GetCurrentProcessId()) + L".xml";
    const std::wstring exported = document + L".out.xml";
    const std::wstring plain = document + L".out.txt";
    writeDocument(document, rows);

    // The inserts the importer sends, prepared before the clock starts.
    std::vector<std::string> inserts;
    inserts.reserve(rows.size());
    auto quoted = [&](const std::wstring& value, bool isNull) {
        if (isNull) return std::string("NULL");
        std::string utf8 = cstr(value, CP_UTF8), escaped(utf8.size() * 2 + 1, '\0');
        escaped.resize(mysql_real_escape_string(bare.get(), &escaped[0], utf8.data(), utf8.size()));
        return "'" + escaped + "'";
    };
    for (const Row& row : rows)
        inserts.push_back("INSERT INTO `bench`(`id`,`name`,`note`,`amount`,`seen`) VALUES (" + quoted(row.id, false) + "," +
                          quoted(row.name, false) + "," + quoted(row.note, row.noteNull) + "," +
                          quoted(row.amount, false) + "," + quoted(row.seen, row.seenNull) + ")");

    auto start = std::chrono::steady_clock::now();
    run("delete from `bench`");
    for (const std::string& insert : inserts) run(insert);
    const double bareImport = seconds(start);

    // Where the import's time goes: the reader alone, then the importer with
    // statements built and escaped but not sent (it
    // empties the table, so it runs before the real import).
    start = std::chrono::steady_clock::now();
    NullHandler reader;
    reader.parseURL(document);
    const double parseOnly = seconds(start);
    DryRunProvider dry;
    start = std::chrono::steady_clock::now();
    dry.ImportData(document, wstr(host), databaseName, wstr(login), wstr(password), port, L"");
    const double dryRun = seconds(start);
    MySQLDatabaseProvider provider;
    start = std::chrono::steady_clock::now();
    provider.ImportData(document, wstr(host), databaseName, wstr(login), wstr(password), port, L"");
    const double import = seconds(start);

    // The bare inserts once more, now that the server has had the same work:
    // the ratio uses the faster of the two passes.
    start = std::chrono::steady_clock::now();
    run("delete from `bench`");
    for (const std::string& insert : inserts) run(insert);
    const double bareAgain = seconds(start);
    const double bareBest = bareImport < bareAgain ? bareImport : bareAgain;
    std::printf("rows: %d\n", rowCount);
    std::printf("import: bare inserts %.3f s (before) / %.3f s (after), ImportData %.3f s, ratio %.2f\n", bareImport,
                bareAgain, import, import / bareBest);
    bench::result("import_rows_s", import, bareBest, 0);

    std::printf("  of which: SAX reader alone %.3f s, importer without sending %.3f s, sending %.3f s\n", parseOnly,
                dryRun, import - dryRun);

    // The per-statement pieces of the provider's execute, each alone.
    const int probes = 10000;
    auto perCall = [&](auto&& body) {
        auto begin = std::chrono::steady_clock::now();
        for (int i = 0; i < probes; ++i) body();
        return seconds(begin) / probes * 1e6;
    };
    const std::wstring sample = wstr(inserts.front(), CP_UTF8);
    double bareDo = perCall([&] { run("DO 0"); });
    double providerDo = perCall([&] { provider.execute(L"DO 0"); });
    double point = perCall([] { ThreadCancelation::CancelationPoint p(ThreadCancelation::Deferred); });
    double translator = perCall([] { SeTranslatorScope scope; });
    double log = perCall([&] { logMessage(Info, L"MySQLDatabaseProvider Execute: %ls", sample.c_str()); });
    double convert = perCall([&] { std::string utf8 = cstr(sample, CP_UTF8); });
    double escape = perCall([&] { std::wstring e = provider.escape(L"client-7 O'Brien Grüße"); });
    std::printf("  per call (us): DO 0 bare %.1f, through execute %.1f; cancellation point %.1f, fault translator "
                "scope %.1f, Info log of an insert (switched off) %.1f, UTF-8 conversion %.1f, escape %.1f\n",
                bareDo, providerDo, point, translator, log, convert, escape);

    // Export: XML events into MSXML's writer against a bare fetch with fprintf.
    provider.useDatabase(databaseName);
    start = std::chrono::steady_clock::now();
    writeXmlDocument(exported, L"data", [&](ISAXContentHandler* handler) { provider.exportData(handler); });
    const double exportXml = seconds(start);

    start = std::chrono::steady_clock::now();
    {
        check(bare.get(), mysql_real_query(bare.get(), "SELECT * FROM bench", 19), "select");
        UniqueMysqlResult result(mysql_store_result(bare.get()));
        UniqueFile out(_wfopen(plain.c_str(), L"wb"));
        unsigned fields = mysql_num_fields(result.get());
        while (MYSQL_ROW row = mysql_fetch_row(result.get())) {
            for (unsigned i = 0; i < fields; ++i) std::fprintf(out.get(), "%s\t", row[i] ? row[i] : "\\N");
            std::fputc('\n', out.get());
        }
    }
    const double bareExport = seconds(start);
    std::printf("export: bare fetch + fprintf %.3f s, exportData to the XML file writer %.3f s, ratio %.2f\n", bareExport,
                exportXml, exportXml / bareExport);
    bench::result("export_rows_s", exportXml, bareExport, 0);
    std::printf("per 100,000 rows: import %.2f s, export %.2f s\n", import * 100000 / rowCount,
                exportXml * 100000 / rowCount);

    // The export streams: its memory stays flat while the table grows. The
    // rows go to a handler that samples the process's memory in use.
    run("CREATE TABLE bench_rows LIKE bench");
    run("INSERT INTO bench_rows SELECT * FROM bench");
    for (int round = 0; round < 3; ++round) {
        for (int copies = round == 0 ? 0 : 3 << (2 * (round - 1)); copies > 0; --copies)
            run("INSERT INTO bench (name, note, amount, seen) SELECT name, note, amount, seen FROM bench_rows");
        provider.useDatabase(databaseName);
        const std::wstring tableMiB = dbScalar(provider, L"SELECT ROUND(SUM(LENGTH(name) + IFNULL(LENGTH(note), 0) + "
                                                          L"IFNULL(LENGTH(seen), 0) + 8) / 1048576, 1) FROM bench");
        const std::wstring tableRows = dbScalar(provider, L"SELECT COUNT(*) FROM bench");
        MemorySampler sampler;
        start = std::chrono::steady_clock::now();
        provider.exportData(reinterpret_cast<ISAXContentHandler*>(static_cast<SaxContentHandlerEntry*>(&sampler)));
        const double took = seconds(start);
        std::printf("export of %s rows (values %s MiB): %.2f s, %.2f s per 100,000 rows; memory in use %.1f MiB "
                    "before, at most %.1f MiB during\n",
                    cstr(tableRows).c_str(), cstr(tableMiB).c_str(), took,
                    took * 100000 / std::max(1.0, std::atof(cstr(tableRows).c_str())), sampler.first, sampler.highest);
    }
    run("DROP TABLE bench_rows");
    run("SET GLOBAL innodb_flush_log_at_trx_commit=1");
    run("DROP DATABASE hvc_bench_import");
    DeleteFileW(document.c_str());
    DeleteFileW(exported.c_str());
    DeleteFileW(plain.c_str());
    CoUninitialize();
    return 0;
}
