// MSXML as the database layer uses it: the class and interface identifiers
// MinGW's libuuid lacks, attribute lookup, a plain attribute list for
// content-handler events, and MSXML's writer over a file.
#pragma once

#include <windows.h>
#include <msxml2.h>

#include <string>
#include <vector>

#include "runtime/owners.h"

namespace msxml {
extern const CLSID saxReader30;  // SAXXMLReader30
extern const CLSID xmlWriter30;  // MXXMLWriter30
extern const CLSID domDocument30;
extern const IID saxXmlReader;  // ISAXXMLReader
extern const IID saxContentHandler;
extern const IID saxAttributes;
extern const IID mxWriter;  // IMXWriter
}  // namespace msxml

// Raises the COM error of a failed result code.
void checkCom(HRESULT result);

// The value of an attribute by its name (no prefix); empty when it is missing.
std::wstring saxAttribute(ISAXAttributes* attributes, const wchar_t* name);

// Whether a SAX name (pointer and length) is the given one.
bool isSaxName(const wchar_t* name, int length, const wchar_t* expected);

// Attributes without namespace handed to a content handler's startElement.
// Lives on the caller's stack; reference counting is a formality.
class SaxAttributeList final : public ISAXAttributes {
public:
    void clear() { items_.clear(); }
    void add(const std::wstring& name, const std::wstring& value) { items_.push_back({name, value}); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE getLength(int* length) override;
    HRESULT STDMETHODCALLTYPE getURI(int index, const wchar_t** uri, int* length) override;
    HRESULT STDMETHODCALLTYPE getLocalName(int index, const wchar_t** name, int* length) override;
    HRESULT STDMETHODCALLTYPE getQName(int index, const wchar_t** name, int* length) override;
    HRESULT STDMETHODCALLTYPE getName(int index, const wchar_t** uri, int* uriLength, const wchar_t** localName,
                                      int* localLength, const wchar_t** qName, int* qLength) override;
    HRESULT STDMETHODCALLTYPE getIndexFromName(const wchar_t* uri, int uriLength, const wchar_t* localName,
                                               int localLength, int* index) override;
    HRESULT STDMETHODCALLTYPE getIndexFromQName(const wchar_t* qName, int qLength, int* index) override;
    HRESULT STDMETHODCALLTYPE getType(int index, const wchar_t** type, int* length) override;
    HRESULT STDMETHODCALLTYPE getTypeFromName(const wchar_t* uri, int uriLength, const wchar_t* localName,
                                              int localLength, const wchar_t** type, int* length) override;
    HRESULT STDMETHODCALLTYPE getTypeFromQName(const wchar_t* qName, int qLength, const wchar_t** type,
                                               int* length) override;
    HRESULT STDMETHODCALLTYPE getValue(int index, const wchar_t** value, int* length) override;
    HRESULT STDMETHODCALLTYPE getValueFromName(const wchar_t* uri, int uriLength, const wchar_t* localName,
                                               int localLength, const wchar_t** value, int* length) override;
    HRESULT STDMETHODCALLTYPE getValueFromQName(const wchar_t* qName, int qLength, const wchar_t** value,
                                                int* length) override;

private:
    struct Item {
        std::wstring name, value;
    };
    const Item* at(int index) const;
    int find(const wchar_t* name, int length) const;

    std::vector<Item> items_;
};

// Element events without namespaces on a content handler; a failing
// handler raises its COM error.
class SaxEvents {
public:
    explicit SaxEvents(ISAXContentHandler* handler) : handler_(handler) {}
    void startElement(const wchar_t* name, SaxAttributeList& attributes);
    void endElement(const wchar_t* name);
    void characters(const std::wstring& text);
    ISAXContentHandler* handler() const { return handler_; }

private:
    ISAXContentHandler* handler_;
};

// MSXML's writer as a content handler that writes a UTF-8 file. The file is
// complete once finish() has returned.
class XmlFileWriter {
public:
    explicit XmlFileWriter(const std::wstring& path);
    ISAXContentHandler* handler() const { return handler_.get(); }
    // Ends the document and flushes the writer into the file.
    void finish();

private:
    ComPtr<IStream> stream_;
    ComPtr<IMXWriter> writer_;
    ComPtr<ISAXContentHandler> handler_;
};

// Writes a whole document to path: the root element around what body
// sends to the handler it gets.
template <class Body>
void writeXmlDocument(const std::wstring& path, const wchar_t* root, Body&& body) {
    XmlFileWriter writer(path);
    checkCom(writer.handler()->startDocument());
    SaxEvents events(writer.handler());
    SaxAttributeList none;
    events.startElement(root, none);
    body(writer.handler());
    events.endElement(root);
    writer.finish();
}
