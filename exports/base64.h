#pragma once

#include <cstddef>

// Decodes Base64 leniently: bytes outside the alphabet (padding, white space,
// line breaks, bytes of 0x80 and above) are skipped, so "=" never ends the
// text and groups may be short; a group of n values gives n * 6 / 8 bytes.
// Writes the decoded bytes up to the first zero byte (which ends the result)
// into out, which must hold base64Capacity(length) bytes; returns how many.
size_t base64DecodeInto(const char* text, size_t length, char* out);
// Room for any decoding of length bytes, terminator included.
inline size_t base64Capacity(size_t length) { return length / 4 * 3 + 5; }

// A new malloc block with the decoding of text up to its first zero byte,
// terminated; null text gives an empty block. The block is the decoding
// buffer itself (no copy), shrunk when the result came out much shorter.
// Throws std::bad_alloc when it cannot be allocated.
char* base64DecodeBlock(const char* text);
