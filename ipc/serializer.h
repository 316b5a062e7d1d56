// The byte format of the management service's requests and answers: a
// sequence of blobs, each a 32-bit little-endian length and that many bytes.
// A string blob starts with its character size (1: ANSI code page, 2:
// UTF-16LE) and has no terminator. In an answer, the length 0xFFFFFFFF marks
// a failure of the service and is followed by a string blob with its message.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "runtime/exceptions.h"

namespace vserializer {

// A peer's bytes do not follow the format.
class invalidprotocol : public vexception {
public:
    using vexception::vexception;
};

const uint32_t errorMarker = 0xFFFFFFFF;

// A buffer for size bytes (at least one); memory exhaustion throws.
std::unique_ptr<unsigned char[]> allocate(uint32_t size);

// Builds a request body.
class output {
public:
    output() = default;
    output(const output&) = delete;
    output& operator=(const output&) = delete;
    ~output();

    // The 32-bit length, then the bytes.
    void appendBlob(const void* data, uint32_t size);
    // The bytes of another writer, as they are.
    void append(const output& other);
    // A string blob of character size 2.
    void appendString(const std::wstring& text);

    const unsigned char* data() const { return data_; }
    uint32_t size() const { return size_; }
    uint32_t capacity() const { return capacity_; }

private:
    void appendRaw(const void* data, size_t size);

    unsigned char* data_ = nullptr;
    uint32_t size_ = 0;
    uint32_t capacity_ = 0;
};

// Reads an answer body it owns.
class input {
public:
    // An empty reader stands for an empty answer: it reads as one empty blob.
    input() = default;
    // Takes the bytes.
    input(std::unique_ptr<unsigned char[]> data, uint32_t size) : data_(std::move(data)), size_(size) {}
    // Copies the bytes.
    input(const void* data, uint32_t size);
    ~input();
    input(input&&) = default;
    input& operator=(input&&) = default;

    // Copies count bytes out, or throws when fewer remain.
    void readRaw(void* destination, uint32_t count);
    // The blob's bytes, or nothing for a blob of length 0. The error marker
    // throws a vexception with the service's message.
    std::optional<std::vector<unsigned char>> readBlob();
    std::wstring readString();

    uint32_t size() const { return size_; }
    uint32_t position() const { return position_; }

private:
    std::unique_ptr<unsigned char[]> data_;
    uint32_t size_ = 0;
    uint32_t position_ = 0;
};

}  // namespace vserializer
