// What the three data importers share: the row being built from "table",
// "row" and "field" elements, and the insert of each finished row with a
// refused row logged and skipped. The back ends fill in only what differs.
#pragma once

#include <string>

#include "database/import/contenthandler.h"
#include "database/provider.h"

// A value of a date-class column that stands for "no date": it begins,
// without regard to case, with "0000-00-00".
bool isZeroDate(const std::wstring& value);
// The ADO data types whose values the importers write as dates (7, 133, 134, 135).
bool isDateClassType(int adoType);

class DataImporter : public ContentHandlerWrapper {
public:
    void startElement(const wchar_t* namespaceUri, int namespaceLength, const wchar_t* localName, int localLength,
                      const wchar_t* qName, int qLength, ISAXAttributes* attributes) final;
    void endElement(const wchar_t* namespaceUri, int namespaceLength, const wchar_t* localName, int localLength,
                    const wchar_t* qName, int qLength) final;
    void characters(const wchar_t* chars, int length) final;

protected:
    // openQuote/closeQuote surround table and column names; a refused row is
    // logged as failing in failureFunction at failureLine (0: the line here
    // that logs it).
    DataImporter(IDatabaseProvider& provider, const std::wstring& database, const wchar_t* openQuote,
                 const wchar_t* closeQuote, const char* failureFunction, unsigned failureLine);
    ~DataImporter() = default;

    // The name as one identifier: its close quote doubled inside, so that no name ends the quoting.
    std::wstring quoted(const std::wstring& name) const;

    // A new table begins, before its rows are deleted.
    virtual void tableStarted() {}
    // Whether the table is a view; its rows are then refused, never written through it.
    virtual bool isView(const std::wstring&) { return false; }
    // A field opened (its name and the table are known).
    virtual void fieldStarted() {}
    // What a zero date in this column is written as; null: written as any value.
    virtual const wchar_t* zeroDateText(const std::wstring& column);
    // A value given as bytes (encoding "base64-binary") as it goes into the
    // statement. The bytes read as ANSI text by default, as ADO reads bytes.
    virtual std::wstring bytesLiteral(const std::string& bytes);
    // The insert up to its column list.
    virtual std::wstring insertHead() const { return L"INSERT INTO " + quoted(table_) + L"("; }
    // Inside the row's guard, just before its insert.
    virtual void beforeInsert() {}
    // Inside the row's guard: throws for an insert that must not be sent.
    virtual void checkInsert(const std::wstring&) {}
    virtual void rowInserted() {}
    virtual void rowRefused() {}
    virtual void tableEnded() {}

    IDatabaseProvider& provider_;
    std::wstring database_;
    std::wstring table_;
    std::wstring fieldName_;

private:
    const wchar_t* openQuote_;
    const wchar_t* closeQuote_;
    const char* failureFunction_;
    unsigned failureLine_;
    std::wstring columns_;
    std::wstring values_;
    std::wstring fieldValue_;
    std::wstring fieldEncoding_;
    bool fieldIsNull_ = false;
    bool tableIsView_ = false;
};
