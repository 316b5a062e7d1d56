// MSXML as the database layer uses it: the class and interface identifiers
// MinGW's libuuid lacks, attribute lookup, a plain attribute list for
// content-handler events, and a writer of such events into a file.
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

// Base64 (RFC 4648, with padding) of bytes, and back; decoding ignores
// whitespace and fails on any other character outside the alphabet.
std::wstring base64Encode(const std::string& bytes);
bool base64Decode(const std::wstring& text, std::string& bytes);

// The bytes as text when they are UTF-8 that decodes and encodes back to the
// same bytes and holds only characters XML 1.0 can carry.
bool xmlTextFromUtf8(const std::string& bytes, std::wstring& text);
// Whether XML 1.0 can carry every character of the text.
bool isXmlText(const std::wstring& text);

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

// A content handler that writes the events as a UTF-8 file. Character data
// keeps CR as a character reference (a reader would turn a bare CR into LF),
// attribute values keep CR, LF and TAB the same way; ignorable whitespace is
// written as it is. The file is complete once finish() has returned.
class XmlFileWriter final : public ISAXContentHandler {
public:
    explicit XmlFileWriter(const std::wstring& path);
    XmlFileWriter(const XmlFileWriter&) = delete;
    XmlFileWriter& operator=(const XmlFileWriter&) = delete;
    ISAXContentHandler* handler() { return this; }
    // Ends the document and writes what is still buffered into the file.
    void finish();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE putDocumentLocator(ISAXLocator*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE startDocument() override;
    HRESULT STDMETHODCALLTYPE endDocument() override;
    HRESULT STDMETHODCALLTYPE startPrefixMapping(const wchar_t*, int, const wchar_t*, int) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE endPrefixMapping(const wchar_t*, int) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE startElement(const wchar_t* uri, int uriLength, const wchar_t* localName, int localLength,
                                           const wchar_t* qName, int qLength, ISAXAttributes* attributes) override;
    HRESULT STDMETHODCALLTYPE endElement(const wchar_t* uri, int uriLength, const wchar_t* localName, int localLength,
                                         const wchar_t* qName, int qLength) override;
    HRESULT STDMETHODCALLTYPE characters(const wchar_t* chars, int length) override;
    HRESULT STDMETHODCALLTYPE ignorableWhitespace(const wchar_t* chars, int length) override;
    HRESULT STDMETHODCALLTYPE processingInstruction(const wchar_t*, int, const wchar_t*, int) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE skippedEntity(const wchar_t*, int) override { return S_OK; }

private:
    void closeStartTag();
    void escaped(const wchar_t* text, size_t length, bool attribute);
    void flush();

    UniqueHandle file_;
    std::wstring pending_;  // text not yet encoded and written
    bool startTagOpen_ = false;
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
