// An in-process stand-in for the ADO and ADOX objects the ADO back ends use:
// the same interface ids and vtable slots, answering from a script and
// recording the calls. Installed through the back ends' object factory.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace adostandin {

struct Cell {
    enum Kind { Null, Text, Date, Bytes, Integer } kind = Null;
    std::wstring text;
    double date = 0;
    std::string bytes;
    long long number = 0;
};
inline Cell null() { return Cell(); }
inline Cell text(const std::wstring& value) { Cell c; c.kind = Cell::Text; c.text = value; return c; }
inline Cell date(double value) { Cell c; c.kind = Cell::Date; c.date = value; return c; }
inline Cell bytes(const std::string& value) { Cell c; c.kind = Cell::Bytes; c.bytes = value; return c; }
inline Cell integer(long long value) { Cell c; c.kind = Cell::Integer; c.number = value; return c; }

// A query's column names, their ADO data types and the rows.
struct Rows {
    std::vector<std::wstring> names;
    std::vector<int> types;
    std::vector<std::vector<Cell>> rows;
};

struct CatalogTable {
    std::wstring name;
    std::vector<std::pair<std::wstring, int>> columns;  // name, ADO data type
};

struct Script {
    // In order: "Open <connection string>|<login>|<password>", "Execute <statement>",
    // "Query <statement>", "BeginTrans", "CommitTrans", "RollbackTrans", "Close",
    // "CursorLocation <n>", "ConnectionTimeout <n>", "CommandTimeout <n>",
    // "Property <name>=<value>", "Catalog <connection string>", "Create <connection string>".
    std::vector<std::wstring> calls;
    std::map<std::wstring, Rows> results;  // by statement; other queries are empty
    // An Open, Execute, Query, Create or catalogue whose text contains one of
    // these fails with E_FAIL and fills the Errors collection.
    std::vector<std::wstring> failing;
    std::vector<std::wstring> errorDescriptions = {L"first error", L"second error"};
    bool failCreation = false;
    std::vector<CatalogTable> catalog;

    std::vector<std::wstring> currentErrors;
    std::vector<std::wstring> unexpected;  // unimplemented slots, arguments the back ends never pass
    int liveObjects = 0;

    std::vector<std::wstring> statements() const;  // "Execute" and "Query" without the prefix
    std::vector<std::wstring> callsStartingWith(const std::wstring& prefix) const;
};

// Installs the stand-in for its lifetime with an empty script.
class Scope {
public:
    Scope();
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    Script& script;
};

}  // namespace adostandin
