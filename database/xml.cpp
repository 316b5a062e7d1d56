#include "database/xml.h"

#include <shlwapi.h>

#include <cstring>
#include <cwchar>

#include "runtime/comerror.h"
#include "runtime/text.h"

namespace msxml {
const CLSID saxReader30 = {0x3124C396, 0xFB13, 0x4836, {0xA6, 0xAD, 0x13, 0x17, 0xF1, 0x71, 0x36, 0x88}};
const CLSID xmlWriter30 = {0x3D813DFE, 0x6C91, 0x4A4E, {0x8F, 0x41, 0x04, 0x34, 0x6A, 0x84, 0x1D, 0x9C}};
const CLSID domDocument30 = {0xF5078F32, 0xC551, 0x11D3, {0x89, 0xB9, 0x00, 0x00, 0xF8, 0x1F, 0xE2, 0x21}};
const IID saxXmlReader = {0xA4F96ED0, 0xF829, 0x476E, {0x81, 0xC0, 0xCD, 0xC7, 0xBD, 0x2A, 0x08, 0x02}};
const IID saxContentHandler = {0x1545CDFA, 0x9E4E, 0x4497, {0xA8, 0xA4, 0x2B, 0xF7, 0xD0, 0x11, 0x2C, 0x44}};
const IID saxAttributes = {0xF078ABE1, 0x45D2, 0x4832, {0x91, 0xEA, 0x44, 0x66, 0xCE, 0x2F, 0x25, 0xC9}};
const IID mxWriter = {0x4D7FF4BA, 0x1565, 0x4EA8, {0x94, 0xE1, 0x6E, 0x72, 0x4A, 0x46, 0xF9, 0x8D}};
}  // namespace msxml

void checkCom(HRESULT result) {
    if (FAILED(result)) throwComError(result);
}

std::wstring saxAttribute(ISAXAttributes* attributes, const wchar_t* name) {
    const wchar_t* value = nullptr;
    int length = 0;
    if (!attributes ||
        FAILED(attributes->getValueFromQName(name, static_cast<int>(std::wcslen(name)), &value, &length)) || !value)
        return std::wstring();
    return std::wstring(value, static_cast<size_t>(length));
}

namespace {

const char base64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

std::wstring base64Encode(const std::string& bytes) {
    std::wstring text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        unsigned long group = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 2]);
        text += static_cast<wchar_t>(base64Alphabet[(group >> 18) & 63]);
        text += static_cast<wchar_t>(base64Alphabet[(group >> 12) & 63]);
        text += i + 1 < bytes.size() ? static_cast<wchar_t>(base64Alphabet[(group >> 6) & 63]) : L'=';
        text += i + 2 < bytes.size() ? static_cast<wchar_t>(base64Alphabet[group & 63]) : L'=';
    }
    return text;
}

bool base64Decode(const std::wstring& text, std::string& bytes) {
    bytes.clear();
    unsigned long group = 0;
    int bits = 0;
    size_t padding = 0;
    for (wchar_t c : text) {
        if (c == L' ' || c == L'\t' || c == L'\r' || c == L'\n') continue;
        if (c == L'=') {
            ++padding;
            continue;
        }
        const char* found = c < 128 ? std::strchr(base64Alphabet, static_cast<char>(c)) : nullptr;
        if (!found || !*found || padding) return false;
        group = (group << 6) | static_cast<unsigned long>(found - base64Alphabet);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes += static_cast<char>((group >> bits) & 0xFF);
        }
    }
    return padding <= 2;
}

bool isXmlText(const std::wstring& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            ++i;
            continue;
        }
        if ((c < 0x20 && c != L'\t' && c != L'\n' && c != L'\r') || (c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE ||
            c == 0xFFFF)
            return false;
    }
    return true;
}

bool xmlTextFromUtf8(const std::string& bytes, std::wstring& text) {
    text = wstr(bytes, CP_UTF8);
    return isXmlText(text) && cstr(text, CP_UTF8) == bytes;
}

bool isSaxName(const wchar_t* name, int length, const wchar_t* expected) {
    size_t size = std::wcslen(expected);
    return name && length >= 0 && static_cast<size_t>(length) == size && std::wmemcmp(name, expected, size) == 0;
}

// ------------------------------------------------------------ attribute list

namespace {

HRESULT give(const std::wstring& text, const wchar_t** out, int* length) {
    if (!out || !length) return E_POINTER;
    *out = text.c_str();
    *length = static_cast<int>(text.size());
    return S_OK;
}

const std::wstring cdata = L"CDATA";
const std::wstring nothing;

}  // namespace

HRESULT STDMETHODCALLTYPE SaxAttributeList::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, msxml::saxAttributes)) {
        *object = static_cast<ISAXAttributes*>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

const SaxAttributeList::Item* SaxAttributeList::at(int index) const {
    return index >= 0 && static_cast<size_t>(index) < items_.size() ? &items_[static_cast<size_t>(index)] : nullptr;
}

int SaxAttributeList::find(const wchar_t* name, int length) const {
    if (!name || length < 0) return -1;
    for (size_t i = 0; i < items_.size(); ++i)
        if (items_[i].name.size() == static_cast<size_t>(length) &&
            std::wmemcmp(items_[i].name.data(), name, static_cast<size_t>(length)) == 0)
            return static_cast<int>(i);
    return -1;
}

HRESULT STDMETHODCALLTYPE SaxAttributeList::getLength(int* length) {
    if (!length) return E_POINTER;
    *length = static_cast<int>(items_.size());
    return S_OK;
}

HRESULT STDMETHODCALLTYPE SaxAttributeList::getURI(int index, const wchar_t** uri, int* length) {
    return at(index) ? give(nothing, uri, length) : E_INVALIDARG;
}

HRESULT STDMETHODCALLTYPE SaxAttributeList::getLocalName(int index, const wchar_t** name, int* length) {
    const Item* item = at(index);
    return item ? give(item->name, name, length) : E_INVALIDARG;
}

HRESULT STDMETHODCALLTYPE SaxAttributeList::getQName(int index, const wchar_t** name, int* length) {
    return getLocalName(index, name, length);
}

HRESULT STDMETHODCALLTYPE SaxAttributeList::getName(int index, const wchar_t** uri, int* uriLength,
                                                    const wchar_t** localName, int* localLength,
                                                    const wchar_t** qName, int* qLength) {
    const Item* item = at(index);
    if (!item) return E_INVALIDARG;
    HRESULT result = give(nothing, uri, uriLength);
    if (SUCCEEDED(result)) result = give(item->name, localName, localLength);
    if (SUCCEEDED(result)) result = give(item->name, qName, qLength);
    return result;
}

HRESULT STDMETHODCALLTYPE SaxAttributeList::getIndexFromName(const wchar_t*, int uriLength, const wchar_t* localName,
                                                             int localLength, int* index) {
    if (!index) return E_POINTER;
    *index = uriLength == 0 ? find(localName, localLength) : -1;
    return *index >= 0 ? S_OK : E_INVALIDARG;
}

HRESULT STDMETHODCALLTYPE SaxAttributeList::getIndexFromQName(const wchar_t* qName, int qLength, int* index) {
    if (!index) return E_POINTER;
    *index = find(qName, qLength);
    return *index >= 0 ? S_OK : E_INVALIDARG;
}

HRESULT STDMETHODCALLTYPE SaxAttributeList::getType(int index, const wchar_t** type, int* length) {
    return at(index) ? give(cdata, type, length) : E_INVALIDARG;
}

HRESULT STDMETHODCALLTYPE SaxAttributeList::getTypeFromName(const wchar_t* uri, int uriLength,
                                                            const wchar_t* localName, int localLength,
                                                            const wchar_t** type, int* length) {
    int index = -1;
    HRESULT result = getIndexFromName(uri, uriLength, localName, localLength, &index);
    return SUCCEEDED(result) ? getType(index, type, length) : result;
}

HRESULT STDMETHODCALLTYPE SaxAttributeList::getTypeFromQName(const wchar_t* qName, int qLength, const wchar_t** type,
                                                             int* length) {
    int index = find(qName, qLength);
    return index >= 0 ? getType(index, type, length) : E_INVALIDARG;
}

HRESULT STDMETHODCALLTYPE SaxAttributeList::getValue(int index, const wchar_t** value, int* length) {
    const Item* item = at(index);
    return item ? give(item->value, value, length) : E_INVALIDARG;
}

HRESULT STDMETHODCALLTYPE SaxAttributeList::getValueFromName(const wchar_t* uri, int uriLength,
                                                             const wchar_t* localName, int localLength,
                                                             const wchar_t** value, int* length) {
    int index = -1;
    HRESULT result = getIndexFromName(uri, uriLength, localName, localLength, &index);
    return SUCCEEDED(result) ? getValue(index, value, length) : result;
}

HRESULT STDMETHODCALLTYPE SaxAttributeList::getValueFromQName(const wchar_t* qName, int qLength,
                                                              const wchar_t** value, int* length) {
    int index = find(qName, qLength);
    return index >= 0 ? getValue(index, value, length) : E_INVALIDARG;
}

// ---------------------------------------------------------------- SAX events

void SaxEvents::startElement(const wchar_t* name, SaxAttributeList& attributes) {
    int length = static_cast<int>(std::wcslen(name));
    checkCom(handler_->startElement(L"", 0, name, length, name, length, &attributes));
}

void SaxEvents::endElement(const wchar_t* name) {
    int length = static_cast<int>(std::wcslen(name));
    checkCom(handler_->endElement(L"", 0, name, length, name, length));
}

void SaxEvents::characters(const std::wstring& text) {
    if (!text.empty()) checkCom(handler_->characters(text.c_str(), static_cast<int>(text.size())));
}

// ---------------------------------------------------------------- file writer

XmlFileWriter::XmlFileWriter(const std::wstring& path)
    : file_(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)) {
    if (!file_) checkCom(HRESULT_FROM_WIN32(GetLastError()));
}

HRESULT STDMETHODCALLTYPE XmlFileWriter::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, msxml::saxContentHandler) ? this : nullptr;
    return *object ? S_OK : E_NOINTERFACE;
}

void XmlFileWriter::flush() {
    std::string bytes = cstr(pending_, CP_UTF8);
    pending_.clear();
    DWORD written = 0;
    if (!bytes.empty() && (!WriteFile(file_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
                           written != bytes.size()))
        checkCom(HRESULT_FROM_WIN32(GetLastError() ? GetLastError() : ERROR_WRITE_FAULT));
}

void XmlFileWriter::closeStartTag() {
    if (!startTagOpen_) return;
    pending_ += L'>';
    startTagOpen_ = false;
}

void XmlFileWriter::escaped(const wchar_t* text, size_t length, bool attribute) {
    for (size_t i = 0; i < length; ++i) {
        switch (wchar_t c = text[i]) {
        case L'&': pending_ += L"&amp;"; break;
        case L'<': pending_ += L"&lt;"; break;
        case L'>': pending_ += L"&gt;"; break;
        case L'\r': pending_ += L"&#13;"; break;
        case L'"': pending_ += attribute ? L"&quot;" : L"\""; break;
        case L'\n': pending_ += attribute ? L"&#10;" : L"\n"; break;
        case L'\t': pending_ += attribute ? L"&#9;" : L"\t"; break;
        default: pending_ += c;
        }
    }
    if (pending_.size() >= 32768) flush();
}

HRESULT STDMETHODCALLTYPE XmlFileWriter::startDocument() {
    pending_ += L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    return S_OK;
}

HRESULT STDMETHODCALLTYPE XmlFileWriter::endDocument() {
    closeStartTag();
    pending_ += L'\n';
    return S_OK;
}

HRESULT STDMETHODCALLTYPE XmlFileWriter::startElement(const wchar_t*, int, const wchar_t*, int, const wchar_t* qName,
                                                      int qLength, ISAXAttributes* attributes) {
    if (!qName || qLength <= 0) return E_INVALIDARG;
    closeStartTag();
    pending_ += L'<';
    pending_.append(qName, static_cast<size_t>(qLength));
    int count = 0;
    if (attributes && FAILED(attributes->getLength(&count))) return E_FAIL;
    for (int i = 0; i < count; ++i) {
        const wchar_t *name = nullptr, *value = nullptr;
        int nameLength = 0, valueLength = 0;
        if (FAILED(attributes->getQName(i, &name, &nameLength)) || FAILED(attributes->getValue(i, &value, &valueLength)))
            return E_FAIL;
        pending_ += L' ';
        pending_.append(name, static_cast<size_t>(nameLength));
        pending_ += L"=\"";
        escaped(value, static_cast<size_t>(valueLength), true);
        pending_ += L'"';
    }
    startTagOpen_ = true;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE XmlFileWriter::endElement(const wchar_t*, int, const wchar_t*, int, const wchar_t* qName,
                                                    int qLength) {
    if (startTagOpen_) {
        pending_ += L"/>";
        startTagOpen_ = false;
        return S_OK;
    }
    pending_ += L"</";
    pending_.append(qName, static_cast<size_t>(qLength));
    pending_ += L'>';
    return S_OK;
}

HRESULT STDMETHODCALLTYPE XmlFileWriter::characters(const wchar_t* chars, int length) {
    closeStartTag();
    if (chars && length > 0) escaped(chars, static_cast<size_t>(length), false);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE XmlFileWriter::ignorableWhitespace(const wchar_t* chars, int length) {
    closeStartTag();
    if (chars && length > 0) pending_.append(chars, static_cast<size_t>(length));
    return S_OK;
}

void XmlFileWriter::finish() {
    checkCom(endDocument());
    flush();
    if (!FlushFileBuffers(file_.get())) checkCom(HRESULT_FROM_WIN32(GetLastError()));
    file_.reset();
}
