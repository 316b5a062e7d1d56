#include "exports/base64.h"

namespace {

int alphabetValue(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::string base64Decode(const std::string& text) {
    std::string out;
    out.reserve(text.size() / 4 * 3 + 3);
    size_t pos = 0;
    while (pos < text.size()) {
        unsigned long bits = 0;
        int count = 0;
        for (; count < 4 && pos < text.size(); ++pos) {
            int value = alphabetValue(static_cast<unsigned char>(text[pos]));
            if (value < 0) continue;
            bits = (bits << 6) | static_cast<unsigned long>(value);
            ++count;
        }
        bits <<= 6 * (4 - count);  // left-align in 24 bits
        for (int i = 0; i < count * 6 / 8; ++i) out.push_back(static_cast<char>((bits >> (16 - 8 * i)) & 0xFF));
    }
    return out;
}
