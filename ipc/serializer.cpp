#include "ipc/serializer.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "runtime/secrets.h"
#include "runtime/text.h"

namespace vserializer {

namespace {

void putLength(unsigned char* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

std::unique_ptr<unsigned char[]> allocate(uint32_t size) {
    // Not zero-filled: a large answer costs no more than its bytes.
    std::unique_ptr<unsigned char[]> data(new (std::nothrow) unsigned char[size ? size : 1]);
    if (!data) throwOutOfMemory();
    return data;
}

// ---- output

output::~output() { std::free(data_); }

void output::appendRaw(const void* data, size_t size) {
    if (size == 0) return;
    const size_t needed = static_cast<size_t>(size_) + size;
    if (size > UINT32_MAX - size_ || needed > UINT32_MAX - 15)
        throw invalidprotocol(L"Serializer data exceeds 4 GB", VLOCATION("vserializer::output::appendRaw"));
    if (needed > capacity_) {
        const uint32_t grown = static_cast<uint32_t>((needed + 15) & ~static_cast<size_t>(15));
        void* bigger = std::realloc(data_, grown);
        if (!bigger) throwOutOfMemory();
        data_ = static_cast<unsigned char*>(bigger);
        capacity_ = grown;
    }
    std::memcpy(data_ + size_, data, size);
    size_ = static_cast<uint32_t>(needed);
}

void output::appendBlob(const void* data, uint32_t size) {
    unsigned char length[4];
    putLength(length, size);
    appendRaw(length, sizeof length);
    appendRaw(data, size);
}

void output::append(const output& other) { appendRaw(other.data_, other.size_); }

void output::appendString(const std::wstring& text) {
    static_assert(sizeof(wchar_t) == 2, "wide strings are UTF-16 here");
    if (text.size() > (UINT32_MAX - 1) / 2)
        throw invalidprotocol(L"String too long for serializer", VLOCATION("vserializer::output::appendString"));
    const uint32_t length = static_cast<uint32_t>(text.size() * 2 + 1);
    unsigned char head[5];
    putLength(head, length);
    head[4] = 2;
    appendRaw(head, sizeof head);
    appendRaw(text.data(), text.size() * 2);  // x86 is little-endian: UTF-16LE as it lies
}

// ---- input

input::input(const void* data, uint32_t size) : data_(allocate(size)), size_(size) {
    if (size) std::memcpy(data_.get(), data, size);
}

// Answers carry passwords: their bytes are wiped before they are freed.
input::~input() {
    if (data_) SecureZeroMemory(data_.get(), size_);
}

void input::readRaw(void* destination, uint32_t count) {
    if (count > size_ - position_)
        throw invalidprotocol(L"Unexpected end of data when read from serializer.",
                              VLOCATION("vserializer::input::readRaw"));
    if (count) std::memcpy(destination, data_.get() + position_, count);
    position_ += count;
}

std::optional<std::vector<unsigned char>> input::readBlob() {
    if (size_ == 0) return std::nullopt;
    unsigned char raw[4];
    readRaw(raw, sizeof raw);
    const uint32_t length = raw[0] | raw[1] << 8 | raw[2] << 16 | static_cast<uint32_t>(raw[3]) << 24;
    if (length == errorMarker) {
        std::wstring message;
        try {
            message = readString();
        } catch (...) {
            throw invalidprotocol(L"Double exception on read from serializer",
                                  VLOCATION("vserializer::input::readBlob"));
        }
        throw vexception(message);
    }
    if (length == 0) return std::nullopt;
    // A length beyond the data fails like the read would, without allocating it first.
    if (length > size_ - position_)
        throw invalidprotocol(L"Unexpected end of data when read from serializer.",
                              VLOCATION("vserializer::input::readBlob"));
    std::vector<unsigned char> blob;
    try {
        blob.resize(length);
    } catch (const std::bad_alloc&) {
        throwOutOfMemory();
    }
    readRaw(blob.data(), length);
    return std::optional<std::vector<unsigned char>>(std::move(blob));
}

std::wstring input::readString() {
    std::optional<std::vector<unsigned char>> blob = readBlob();
    if (!blob)
        throw invalidprotocol(L"Unexpected end of data when read C-string from serializer.",
                              VLOCATION("vserializer::input::readString"));
    std::vector<unsigned char>& bytes = *blob;
    struct Wipe {
        std::vector<unsigned char>& bytes;
        ~Wipe() { SecureZeroMemory(bytes.data(), bytes.size()); }
    } wiped{bytes};
    switch (bytes[0]) {
    case 1:
        return wstr(std::string(reinterpret_cast<const char*>(bytes.data() + 1), bytes.size() - 1), 0);
    case 2: {
        std::wstring text((bytes.size() - 1) / 2, L'\0');
        if (!text.empty()) std::memcpy(&text[0], bytes.data() + 1, text.size() * 2);
        return text;
    }
    default:
        throw invalidprotocol(L"Unsupported char size when read C-string from serializer.",
                              VLOCATION("vserializer::input::readString"));
    }
}

}  // namespace vserializer
