// The base of every importer: the COM content handler that MSXML's SAX
// reader calls. Each COM entry point calls an ordinary handler and stops
// every failure at the COM boundary (no C++ exception may unwind through the
// reader's frames, which i686 DWARF unwinding cannot pass); the first one is
// kept and raised by parseURL once the reader has returned.
#pragma once

#include <windows.h>
#include <msxml2.h>

#include <exception>
#include <string>

// The reader's view of a content handler, slot for slot ISAXContentHandler,
// with the names of its raw entry points.
struct SaxContentHandlerEntry : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE raw_putDocumentLocator(ISAXLocator* locator) = 0;
    virtual HRESULT STDMETHODCALLTYPE raw_startDocument() = 0;
    virtual HRESULT STDMETHODCALLTYPE raw_endDocument() = 0;
    virtual HRESULT STDMETHODCALLTYPE raw_startPrefixMapping(const wchar_t* prefix, int prefixLength,
                                                             const wchar_t* uri, int uriLength) = 0;
    virtual HRESULT STDMETHODCALLTYPE raw_endPrefixMapping(const wchar_t* prefix, int prefixLength) = 0;
    virtual HRESULT STDMETHODCALLTYPE raw_startElement(const wchar_t* namespaceUri, int namespaceLength,
                                                       const wchar_t* localName, int localLength,
                                                       const wchar_t* qName, int qLength,
                                                       ISAXAttributes* attributes) = 0;
    virtual HRESULT STDMETHODCALLTYPE raw_endElement(const wchar_t* namespaceUri, int namespaceLength,
                                                     const wchar_t* localName, int localLength, const wchar_t* qName,
                                                     int qLength) = 0;
    virtual HRESULT STDMETHODCALLTYPE raw_characters(const wchar_t* chars, int length) = 0;
    virtual HRESULT STDMETHODCALLTYPE raw_ignorableWhitespace(const wchar_t* chars, int length) = 0;
    virtual HRESULT STDMETHODCALLTYPE raw_processingInstruction(const wchar_t* target, int targetLength,
                                                                const wchar_t* data, int dataLength) = 0;
    virtual HRESULT STDMETHODCALLTYPE raw_skippedEntity(const wchar_t* name, int length) = 0;
};

class ContentHandlerWrapper : public SaxContentHandlerEntry {
public:
    ContentHandlerWrapper();
    ContentHandlerWrapper(const ContentHandlerWrapper&) = delete;
    ContentHandlerWrapper& operator=(const ContentHandlerWrapper&) = delete;

    // IUnknown and ISAXContentHandler only. No count is kept: the owner holds
    // the object.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE raw_putDocumentLocator(ISAXLocator* locator) override;
    HRESULT STDMETHODCALLTYPE raw_startDocument() override;
    HRESULT STDMETHODCALLTYPE raw_endDocument() override;
    HRESULT STDMETHODCALLTYPE raw_startPrefixMapping(const wchar_t* prefix, int prefixLength, const wchar_t* uri,
                                                     int uriLength) override;
    HRESULT STDMETHODCALLTYPE raw_endPrefixMapping(const wchar_t* prefix, int prefixLength) override;
    HRESULT STDMETHODCALLTYPE raw_startElement(const wchar_t* namespaceUri, int namespaceLength,
                                               const wchar_t* localName, int localLength, const wchar_t* qName,
                                               int qLength, ISAXAttributes* attributes) override;
    HRESULT STDMETHODCALLTYPE raw_endElement(const wchar_t* namespaceUri, int namespaceLength,
                                             const wchar_t* localName, int localLength, const wchar_t* qName,
                                             int qLength) override;
    HRESULT STDMETHODCALLTYPE raw_characters(const wchar_t* chars, int length) override;
    HRESULT STDMETHODCALLTYPE raw_ignorableWhitespace(const wchar_t* chars, int length) override;
    HRESULT STDMETHODCALLTYPE raw_processingInstruction(const wchar_t* target, int targetLength, const wchar_t* data,
                                                        int dataLength) override;
    HRESULT STDMETHODCALLTYPE raw_skippedEntity(const wchar_t* name, int length) override;

    // The handlers; in the base each does nothing. A failure they raise ends
    // the parse.
    virtual void putDocumentLocator(ISAXLocator* locator);
    virtual void startDocument();
    virtual void endDocument();
    virtual void startPrefixMapping(const wchar_t* prefix, int prefixLength, const wchar_t* uri, int uriLength);
    virtual void endPrefixMapping(const wchar_t* prefix, int prefixLength);
    virtual void startElement(const wchar_t* namespaceUri, int namespaceLength, const wchar_t* localName,
                              int localLength, const wchar_t* qName, int qLength, ISAXAttributes* attributes);
    virtual void endElement(const wchar_t* namespaceUri, int namespaceLength, const wchar_t* localName,
                            int localLength, const wchar_t* qName, int qLength);
    virtual void characters(const wchar_t* chars, int length);
    virtual void ignorableWhitespace(const wchar_t* chars, int length);
    virtual void processingInstruction(const wchar_t* target, int targetLength, const wchar_t* data,
                                       int dataLength);
    virtual void skippedEntity(const wchar_t* name, int length);

    // Parses the document at url (a path or URL the reader accepts) with this
    // object as its content handler. A handler's failure arrives as a
    // vexception with its text (a thread's cancellation as itself); a failure
    // of the reader alone as its ComError. COM must be initialised.
    void parseURL(const std::wstring& url);

    // The stored failure text; empty while nothing failed.
    const std::wstring& errorText() const { return errorText_; }

protected:
    // Only the back end that made an importer destroys it.
    ~ContentHandlerWrapper() = default;
    // An error handler for the reader of later parses (not owned); none by default.
    void setErrorHandler(ISAXErrorHandler* handler) { errorHandler_ = handler; }

private:
    struct Site;
    template <class Body>
    HRESULT entry(const Site& site, Body&& body) noexcept;

    std::wstring errorText_;
    ISAXErrorHandler* errorHandler_ = nullptr;
    bool failed_ = false;
    std::exception_ptr canceled_;
};
