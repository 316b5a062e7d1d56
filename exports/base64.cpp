#include "exports/base64.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

const unsigned char skip = 0x80;

struct Alphabet {
    unsigned char value[256];
    constexpr Alphabet() : value() {
        for (int c = 0; c < 256; ++c) value[c] = skip;
        for (int c = 'A'; c <= 'Z'; ++c) value[c] = static_cast<unsigned char>(c - 'A');
        for (int c = 'a'; c <= 'z'; ++c) value[c] = static_cast<unsigned char>(c - 'a' + 26);
        for (int c = '0'; c <= '9'; ++c) value[c] = static_cast<unsigned char>(c - '0' + 52);
        value['+'] = 62;
        value['/'] = 63;
    }
};
constexpr Alphabet alphabet;

// The three bytes of a group, high first, with a set top byte: the zero-byte
// test then only fires for a zero among the three.
inline bool hasZeroByte(uint32_t bits) {
    const uint32_t word = bits | 0xFF000000u;
    return ((word - 0x01010101u) & ~word & 0x80808080u) != 0;
}

// The top `count` bytes of a left-aligned 24-bit group, up to a zero byte;
// false when one was met.
inline bool emit(uint32_t bits, int count, unsigned char*& out) {
    for (int i = 0; i < count; ++i) {
        const auto byte = static_cast<unsigned char>(bits >> (16 - 8 * i));
        if (!byte) return false;
        *out++ = byte;
    }
    return true;
}

// strlen a word at a time. An aligned word never reaches into the next
// page, so reading the bytes after the terminator within it cannot fault.
size_t textLength(const char* text) {
    const char* p = text;
    for (; reinterpret_cast<uintptr_t>(p) % sizeof(size_t) != 0; ++p)
        if (*p == '\0') return static_cast<size_t>(p - text);
    const size_t ones = ~size_t(0) / 0xFF, highs = ones << 7;
    for (;; p += sizeof(size_t)) {
        size_t word;
        std::memcpy(&word, p, sizeof word);
        if ((word - ones) & ~word & highs) break;
    }
    while (*p != '\0') ++p;
    return static_cast<size_t>(p - text);
}

}  // namespace

size_t base64DecodeInto(const char* text, size_t length, char* buffer) {
    const auto* in = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* const end = in + length;
    auto* out = reinterpret_cast<unsigned char*>(buffer);
    // The fast path stores four bytes for three; the capacity leaves that
    // slack, and no write goes past it.
    unsigned char* const limit = out + base64Capacity(length) - 1;
    const unsigned char* table = alphabet.value;
    for (;;) {
        // Four alphabet bytes in a row are a whole group.
        while (end - in >= 4 && limit - out >= 4) {
            const uint32_t a = table[in[0]], b = table[in[1]], c = table[in[2]], d = table[in[3]];
            if ((a | b | c | d) & skip) break;
            const uint32_t bits = a << 18 | b << 12 | c << 6 | d;
            if (hasZeroByte(bits)) {
                emit(bits, 3, out);
                return out - reinterpret_cast<unsigned char*>(buffer);
            }
            const uint32_t word = bits >> 16 | (bits & 0xFF00) | (bits & 0xFF) << 16;  // bytes high first
            std::memcpy(out, &word, 4);
            out += 3;
            in += 4;
        }
        // One group across skipped bytes, or the last, short one.
        uint32_t bits = 0;
        int count = 0;
        while (count < 4 && in < end) {
            const uint32_t value = table[*in++];
            if (value & skip) continue;
            bits = bits << 6 | value;
            ++count;
        }
        bits <<= 6 * (4 - count);
        if (limit - out < 3 || !emit(bits, count * 6 / 8, out) || count < 4)
            return out - reinterpret_cast<unsigned char*>(buffer);
    }
}

char* base64DecodeBlock(const char* text) {
    const size_t length = text ? textLength(text) : 0;
    const size_t capacity = base64Capacity(length);
    auto* block = static_cast<char*>(std::malloc(capacity));
    if (!block) throw std::bad_alloc();
    const size_t size = text ? base64DecodeInto(text, length, block) : 0;
    block[size] = '\0';
    // A zero byte early in a large text: give the unused room back.
    if (size + 1 < capacity / 2) {
        if (void* smaller = std::realloc(block, size + 1)) block = static_cast<char*>(smaller);
    }
    return block;
}
