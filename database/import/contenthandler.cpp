#include "database/import/contenthandler.h"

#include <ole2.h>

#include "database/xml.h"
#include "runtime/cancellation.h"
#include "runtime/comerror.h"
#include "runtime/exceptions.h"
#include "runtime/setranslator.h"
#include "runtime/threadcanceled.h"

namespace {

// The reader may live in any server the class is registered for.
const DWORD readerContext = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

}  // namespace

struct ContentHandlerWrapper::Site {
    const wchar_t* context;
    const char* function;
    unsigned line;
};

ContentHandlerWrapper::ContentHandlerWrapper() = default;

HRESULT STDMETHODCALLTYPE ContentHandlerWrapper::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, msxml::saxContentHandler)) {
        *object = static_cast<SaxContentHandlerEntry*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE ContentHandlerWrapper::AddRef() { return 1; }
ULONG STDMETHODCALLTYPE ContentHandlerWrapper::Release() { return 1; }

// Every way out of here is a result code. Once a failure is kept no handler
// runs any more, so nothing after it reaches the importer even if the reader
// went on.
template <class Body>
HRESULT ContentHandlerWrapper::entry(const Site& site, Body&& body) noexcept {
    if (failed_) return E_FAIL;
    try {
        SeTranslatorScope translator;
        ThreadCancelation::CancelationPoint point(ThreadCancelation::Deferred);
        body();
    } catch (const ThreadCancelation::ThreadCanceledException&) {
        // Kept as it is and raised again by parseURL on this side of the reader.
        canceled_ = std::current_exception();
        failed_ = true;
        errorText_ = L"Thread canceled";
    } catch (...) {
        failed_ = true;
        try {
            errorText_ = currentAsVException(site.context, site.function, site.line).text();
        } catch (...) {
            errorText_ = L"Unexpected error";
        }
        if (errorText_.empty()) errorText_ = L"Unexpected error";
    }
    return failed_ ? E_FAIL : S_OK;
}

#define HVC_SAX_SITE(name, line) \
    static const Site site = {L"" #name, "ContentHandlerWrapper::raw_" #name, (line)}

HRESULT STDMETHODCALLTYPE ContentHandlerWrapper::raw_putDocumentLocator(ISAXLocator* locator) {
    HVC_SAX_SITE(putDocumentLocator, 285);
    return entry(site, [&] { putDocumentLocator(locator); });
}

HRESULT STDMETHODCALLTYPE ContentHandlerWrapper::raw_startDocument() {
    HVC_SAX_SITE(startDocument, 298);
    return entry(site, [&] { startDocument(); });
}

HRESULT STDMETHODCALLTYPE ContentHandlerWrapper::raw_endDocument() {
    HVC_SAX_SITE(endDocument, 311);
    return entry(site, [&] { endDocument(); });
}

HRESULT STDMETHODCALLTYPE ContentHandlerWrapper::raw_startPrefixMapping(const wchar_t* prefix, int prefixLength,
                                                                        const wchar_t* uri, int uriLength) {
    HVC_SAX_SITE(startPrefixMapping, 328);
    return entry(site, [&] { startPrefixMapping(prefix, prefixLength, uri, uriLength); });
}

HRESULT STDMETHODCALLTYPE ContentHandlerWrapper::raw_endPrefixMapping(const wchar_t* prefix, int prefixLength) {
    HVC_SAX_SITE(endPrefixMapping, 343);
    return entry(site, [&] { endPrefixMapping(prefix, prefixLength); });
}

HRESULT STDMETHODCALLTYPE ContentHandlerWrapper::raw_startElement(const wchar_t* namespaceUri, int namespaceLength,
                                                                  const wchar_t* localName, int localLength,
                                                                  const wchar_t* qName, int qLength,
                                                                  ISAXAttributes* attributes) {
    HVC_SAX_SITE(startElement, 363);
    return entry(site, [&] {
        startElement(namespaceUri, namespaceLength, localName, localLength, qName, qLength, attributes);
    });
}

HRESULT STDMETHODCALLTYPE ContentHandlerWrapper::raw_endElement(const wchar_t* namespaceUri, int namespaceLength,
                                                                const wchar_t* localName, int localLength,
                                                                const wchar_t* qName, int qLength) {
    HVC_SAX_SITE(endElement, 382);
    return entry(site, [&] { endElement(namespaceUri, namespaceLength, localName, localLength, qName, qLength); });
}

HRESULT STDMETHODCALLTYPE ContentHandlerWrapper::raw_characters(const wchar_t* chars, int length) {
    HVC_SAX_SITE(characters, 397);
    return entry(site, [&] { characters(chars, length); });
}

HRESULT STDMETHODCALLTYPE ContentHandlerWrapper::raw_ignorableWhitespace(const wchar_t* chars, int length) {
    HVC_SAX_SITE(ignorableWhitespace, 412);
    return entry(site, [&] { ignorableWhitespace(chars, length); });
}

HRESULT STDMETHODCALLTYPE ContentHandlerWrapper::raw_processingInstruction(const wchar_t* target, int targetLength,
                                                                           const wchar_t* data, int dataLength) {
    HVC_SAX_SITE(processingInstruction, 429);
    return entry(site, [&] { processingInstruction(target, targetLength, data, dataLength); });
}

HRESULT STDMETHODCALLTYPE ContentHandlerWrapper::raw_skippedEntity(const wchar_t* name, int length) {
    HVC_SAX_SITE(skippedEntity, 444);
    return entry(site, [&] { skippedEntity(name, length); });
}

#undef HVC_SAX_SITE

void ContentHandlerWrapper::putDocumentLocator(ISAXLocator*) {}
void ContentHandlerWrapper::startDocument() {}
void ContentHandlerWrapper::endDocument() {}
void ContentHandlerWrapper::startPrefixMapping(const wchar_t*, int, const wchar_t*, int) {}
void ContentHandlerWrapper::endPrefixMapping(const wchar_t*, int) {}
void ContentHandlerWrapper::startElement(const wchar_t*, int, const wchar_t*, int, const wchar_t*, int,
                                         ISAXAttributes*) {}
void ContentHandlerWrapper::endElement(const wchar_t*, int, const wchar_t*, int, const wchar_t*, int) {}
void ContentHandlerWrapper::characters(const wchar_t*, int) {}
void ContentHandlerWrapper::ignorableWhitespace(const wchar_t*, int) {}
void ContentHandlerWrapper::processingInstruction(const wchar_t*, int, const wchar_t*, int) {}
void ContentHandlerWrapper::skippedEntity(const wchar_t*, int) {}

void ContentHandlerWrapper::parseURL(const std::wstring& url) {
    ComPtr<ISAXXMLReader> reader;
    {
        ComPtr<IUnknown> unknown;
        checkCom(CoCreateInstance(msxml::saxReader30, nullptr, readerContext, IID_IUnknown, unknown.putVoid()));
        checkCom(OleRun(unknown.get()));
        checkCom(unknown->QueryInterface(msxml::saxXmlReader, reader.putVoid()));
    }
    // Same slots as ISAXContentHandler; the reader sees nothing else.
    checkCom(reader->putContentHandler(
        reinterpret_cast<ISAXContentHandler*>(static_cast<SaxContentHandlerEntry*>(this))));
    if (errorHandler_) checkCom(reader->putErrorHandler(errorHandler_));
    errorText_.clear();
    failed_ = false;
    canceled_ = nullptr;

    HRESULT result = reader->parseURL(url.c_str());
    // The reader's own error information belongs to this call.
    ComError readerError = FAILED(result) && !failed_ ? ComError::fromErrorInfo(result) : ComError(result);
    reader->putContentHandler(nullptr);
    if (errorHandler_) reader->putErrorHandler(nullptr);
    reader.reset();

    if (canceled_) {
        std::exception_ptr canceled = canceled_;
        canceled_ = nullptr;
        failed_ = false;
        errorText_.clear();
        std::rethrow_exception(canceled);
    }
    if (failed_) {
        std::wstring text = errorText_;
        errorText_.clear();
        failed_ = false;
        throw vexception(text, VLOCATION_AT("ContentHandlerWrapper::parseURL", 24));
    }
    if (FAILED(result)) throw readerError;
}
