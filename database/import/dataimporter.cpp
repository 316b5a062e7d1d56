#include "database/import/dataimporter.h"

#include <cwchar>

#include "database/xml.h"
#include "runtime/cancellation.h"
#include "runtime/exceptions.h"
#include "runtime/log.h"
#include "runtime/progress.h"
#include "runtime/setranslator.h"
#include "runtime/text.h"
#include "runtime/threadcanceled.h"

bool isZeroDate(const std::wstring& value) {
    return value.size() >= 10 && _wcsnicmp(value.c_str(), L"0000-00-00", 10) == 0;
}

bool isDateClassType(int adoType) { return adoType == 7 || adoType == 133 || adoType == 134 || adoType == 135; }

DataImporter::DataImporter(IDatabaseProvider& provider, const std::wstring& database, const wchar_t* openQuote,
                           const wchar_t* closeQuote, const char* failureFunction, unsigned failureLine)
    : provider_(provider),
      database_(database),
      openQuote_(openQuote),
      closeQuote_(closeQuote),
      failureFunction_(failureFunction),
      failureLine_(failureLine) {}

std::wstring DataImporter::quoted(const std::wstring& name) const {
    std::wstring text = openQuote_;
    for (wchar_t c : name) {
        if (c == closeQuote_[0]) text += c;
        text += c;
    }
    return text + closeQuote_;
}

const wchar_t* DataImporter::zeroDateText(const std::wstring&) { return nullptr; }

std::wstring DataImporter::bytesLiteral(const std::string& bytes) { return L"'" + provider_.escape(wstr(bytes)) + L"'"; }

void DataImporter::startElement(const wchar_t*, int, const wchar_t* localName, int localLength, const wchar_t*, int,
                                ISAXAttributes* attributes) {
    if (isSaxName(localName, localLength, L"field")) {
        fieldName_ = saxAttribute(attributes, L"name");
        fieldValue_ = saxAttribute(attributes, L"value");
        fieldIsNull_ = saxAttribute(attributes, L"isnull") == L"true";
        fieldEncoding_ = saxAttribute(attributes, L"encoding");
        if (!fieldEncoding_.empty() && fieldEncoding_ != L"base64" && fieldEncoding_ != L"base64-binary")
            throw vexception(L"Unknown value encoding " + fieldEncoding_, VLOCATION("DataImporter::startElement"));
        if (!columns_.empty()) columns_ += L",";
        if (!values_.empty()) values_ += L",";
        columns_ += quoted(fieldName_);
        fieldStarted();
    } else if (isSaxName(localName, localLength, L"row")) {
        columns_.clear();
        values_.clear();
    } else if (isSaxName(localName, localLength, L"table")) {
        table_ = saxAttribute(attributes, L"name");
        tableStarted();
        tableIsView_ = isView(table_);
        if (tableIsView_)
            LogManager::instance().log(Error, vexception(L"Table " + table_ + L" is a view: no row is written through it",
                                                         VLOCATION("DataImporter::startElement")));
        else
            provider_.execute(L"delete from " + quoted(table_));
    }
}

void DataImporter::characters(const wchar_t* chars, int length) {
    if (!fieldName_.empty() && length > 0) fieldValue_.append(chars, static_cast<size_t>(length));
}

void DataImporter::endElement(const wchar_t*, int, const wchar_t* localName, int localLength, const wchar_t*, int) {
    if (isSaxName(localName, localLength, L"field")) {
        const wchar_t* zeroDate = nullptr;
        std::string bytes;
        if (!fieldIsNull_ && !fieldEncoding_.empty() && !base64Decode(fieldValue_, bytes))
            throw vexception(L"Invalid base64 value of field " + fieldName_, VLOCATION("DataImporter::endElement"));
        if (fieldEncoding_ == L"base64") fieldValue_ = wstr(bytes, CP_UTF8);
        if (fieldIsNull_)
            values_ += L"NULL";
        else if (fieldEncoding_ == L"base64-binary")
            values_ += bytesLiteral(bytes);
        else if (isZeroDate(fieldValue_) && (zeroDate = zeroDateText(fieldName_)) != nullptr)
            values_ += zeroDate;
        else
            values_ += L"'" + provider_.escape(fieldValue_) + L"'";
        fieldName_.clear();
        fieldValue_.clear();
        fieldIsNull_ = false;
    } else if (isSaxName(localName, localLength, L"row")) {
        if (tableIsView_) {
            rowRefused();
            return;
        }
        std::wstring insert = insertHead() + columns_ + L") VALUES (" + values_ + L")";
        progress::note(progress::Step::Row, table_, insert.size());
        try {
            SeTranslatorScope translator;
            ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
            checkInsert(insert);
            beforeInsert();
            provider_.execute(insert);
            rowInserted();
        } catch (const ThreadCancelation::ThreadCanceledException&) {
            throw;
        } catch (...) {
            // A refused row is reported and skipped; the import goes on.
            rowRefused();
            LogManager::instance().log(
                Error, currentAsVException(format(L"Unable to import data row: %ls", insert.c_str()), failureFunction_,
                                           failureLine_ ? failureLine_ : __LINE__));
        }
    } else if (isSaxName(localName, localLength, L"table")) {
        tableEnded();
    }
}
