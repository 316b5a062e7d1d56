#include "database/import/documentcheck.h"

#include "database/import/contenthandler.h"
#include "database/xml.h"
#include "runtime/comerror.h"
#include "runtime/text.h"

namespace {

const IID saxErrorHandlerId = {0xA60511C4, 0xCCF5, 0x479E, {0x98, 0xA3, 0xDC, 0x8D, 0xC5, 0x45, 0xB7, 0xD0}};

// Keeps the reader's first complaint and where it was.
class ErrorPosition final : public ISAXErrorHandler {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, saxErrorHandlerId) ? this : nullptr;
        return *object ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE error(ISAXLocator* locator, const wchar_t* message, HRESULT code) override {
        keep(locator, message);
        return code;
    }
    HRESULT STDMETHODCALLTYPE fatalError(ISAXLocator* locator, const wchar_t* message, HRESULT code) override {
        keep(locator, message);
        return code;
    }
    HRESULT STDMETHODCALLTYPE ignorableWarning(ISAXLocator*, const wchar_t*, HRESULT) override { return S_OK; }

    bool seen = false;
    int line = 0, column = 0;
    std::wstring message;

private:
    void keep(ISAXLocator* locator, const wchar_t* text) {
        if (seen) return;
        seen = true;
        if (locator) {
            locator->getLineNumber(&line);
            locator->getColumnNumber(&column);
        }
        message = text ? text : L"";
        while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r')) message.pop_back();
    }
};

// Counts what a document holds, element by element.
class DocumentCheck final : public ContentHandlerWrapper {
public:
    explicit DocumentCheck(ISAXErrorHandler* errors) { setErrorHandler(errors); }
    void startElement(const wchar_t*, int, const wchar_t* localName, int localLength, const wchar_t*, int,
                      ISAXAttributes*) override {
        if (isSaxName(localName, localLength, L"column") || isSaxName(localName, localLength, L"index")) ++definitions;
        if (isSaxName(localName, localLength, L"row") || isSaxName(localName, localLength, L"field")) ++rows;
    }
    ~DocumentCheck() = default;

    unsigned long long definitions = 0, rows = 0;
};

}  // namespace

void checkImportDocument(const std::wstring& path, DocumentKind kind, ErrorLocation location) {
    ErrorPosition position;
    DocumentCheck check(&position);
    std::wstring problem;
    try {
        check.parseURL(path);
    } catch (const ComError& e) {
        if (position.seen)
            problem = format(L"%ls (line %d, column %d)", position.message.c_str(), position.line, position.column);
        else
            problem = (e.description().empty() ? e.errorMessage() : e.description()) +
                      format(L" (0x%08lX)", static_cast<unsigned long>(e.error()));
    }
    if (problem.empty() && kind == DocumentKind::Schema && check.rows > 0)
        problem = L"it holds table rows, not table definitions";
    if (problem.empty() && kind == DocumentKind::Data && check.definitions > 0)
        problem = L"it holds table definitions, not table rows";
    if (!problem.empty()) throw vexception(L"Unable to use the document " + path + L": " + problem, std::move(location));
}
