// ADOX's catalogue of a Jet database file: its tables and their column
// types, and the creation of a new file.
#pragma once

#include <string>
#include <vector>

#include "runtime/owners.h"

struct _ADOCatalog;

class JetCatalog {
public:
    // A catalogue on a connection of its own to the file.
    explicit JetCatalog(const std::wstring& connectionString);
    ~JetCatalog();
    JetCatalog(const JetCatalog&) = delete;
    JetCatalog& operator=(const JetCatalog&) = delete;

    // The Tables collection yields an entry for the name.
    bool hasTable(const std::wstring& table);
    // Names of the entries whose Type is "TABLE", in collection order.
    std::vector<std::wstring> tables();
    // The ADO data type of one column; COM errors when there is no such column.
    int columnType(const std::wstring& table, const std::wstring& column);

    // Creates the database file the connection string names.
    static void create(const std::wstring& connectionString);

private:
    ComPtr<_ADOCatalog> catalog_;
};

// "Provider='Microsoft.Jet.OLEDB.4.0';Data Source='<file>'"
std::wstring jetCatalogConnectionString(const std::wstring& file);
