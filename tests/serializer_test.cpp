// The serializer's reader against answers given byte for byte. What the
// writer produces, and the answers the stand-in service can give wrongly,
// are checked with the service client.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "ipc/serializer.h"

namespace {

std::string bytesOf(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

}  // namespace

TEST(SerializerReader, Strings) {
    const wchar_t *eod = L"Unexpected end of data when read from serializer.",
                  *cstring = L"Unexpected end of data when read C-string from serializer.",
                  *twice = L"Double exception on read from serializer";
    // Outcome: v a value, p a located invalidprotocol, s the service's
    // message as a plain vexception without a location of ours.
    struct { const char* bytes; char outcome; std::wstring text; } cases[] = {
        {"07000000" "02" "610062006300", 'v', L"abc"},
        {"04000000" "02" "610062", 'v', L"a"},  // an odd byte is not a character
        {"03000000" "01" "4142", 'v', L"AB"},  // character size 1: ANSI
        {"00000000", 'p', cstring},
        {"070000", 'p', eod},
        {"F0FFFFFF" "02", 'p', eod},
        {"FFFFFFFF" "07000000" "02" "6E006F002100", 's', L"no!"},
        {"FFFFFFFF", 'p', twice},
        {"FFFFFFFF" "FFFFFFFF" "03000000" "027800", 'p', twice},  // a message that is itself a marker
    };
    for (const auto& c : cases) {
        std::string bytes = bytesOf(c.bytes);
        vserializer::input reader(bytes.data(), static_cast<uint32_t>(bytes.size()));
        char outcome = 'v';
        std::wstring text;
        try {
            text = reader.readString();
        } catch (const vserializer::invalidprotocol& e) {
            outcome = e.locations().empty() ? '?' : 'p', text = e.message();
        } catch (const vexception& e) {
            outcome = e.locations().empty() ? 's' : '?', text = e.message();
        }
        EXPECT_EQ(outcome, c.outcome) << c.bytes;
        EXPECT_EQ(text, c.text) << c.bytes;
    }
}
