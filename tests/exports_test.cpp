// The exports as a caller sees them: the DLL loaded by name, entry points
// bound by their decorated names.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>

#include "exports/hvcdmtutils.h"
#include "testutil.h"

namespace {

class Exports : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        module_ = LoadLibraryW(L"hvcdmtutils.dll");
        ASSERT_NE(module_, nullptr) << GetLastError();
        base64 = bind<HVC_Base64Decode_t>(HVC_NAME_Base64Decode);
        freeString = bind<HVC_FreeString_t>(HVC_NAME_FreeString);
        lastError = bind<HVC_GetLastHvcDmtError_t>(HVC_NAME_GetLastHvcDmtError);
        toAscii = bind<HVC_idn_toAscii_t>(HVC_NAME_idn_toAscii);
        toUtf8 = bind<HVC_idn_toUtf8_t>(HVC_NAME_idn_toUtf8);
    }
    template <class T>
    static T bind(const char* name) {
        return testutil::exportOf<T>(name);
    }
    // Takes a returned block: its text, released through the library.
    static std::string take(const char* block) {
        EXPECT_NE(block, nullptr);
        if (!block) return "(null)";
        std::string text = block;
        EXPECT_EQ(freeString(block), 0);
        return text;
    }
    static std::string slot() {
        const char* text = lastError();
        return text ? text : "(null)";
    }

    static HMODULE module_;
    static HVC_Base64Decode_t base64;
    static HVC_FreeString_t freeString;
    static HVC_GetLastHvcDmtError_t lastError;
    static HVC_idn_toAscii_t toAscii;
    static HVC_idn_toUtf8_t toUtf8;
};
HMODULE Exports::module_;
HVC_Base64Decode_t Exports::base64;
HVC_FreeString_t Exports::freeString;
HVC_GetLastHvcDmtError_t Exports::lastError;
HVC_idn_toAscii_t Exports::toAscii;
HVC_idn_toUtf8_t Exports::toUtf8;

}  // namespace

TEST_F(Exports, BoundByOrdinalAndDecoratedName) {
    struct Case {
        WORD ordinal;
        const char* name;
    } cases[] = {{1, HVC_NAME_Base64Decode}, {4, HVC_NAME_FreeString}, {5, HVC_NAME_GetLastHvcDmtError},
                 {13, HVC_NAME_idn_toAscii}, {14, HVC_NAME_idn_toUtf8}, {8, HVC_NAME_RemoveDirectoryTree},
                 {9, HVC_NAME_createDirectory}, {10, HVC_NAME_createNestedDirectory}, {15, HVC_NAME_renameDirectory}};
    for (const Case& c : cases) {
        FARPROC byName = GetProcAddress(module_, c.name);
        EXPECT_NE(byName, nullptr) << c.name;
        EXPECT_EQ(GetProcAddress(module_, MAKEINTRESOURCEA(c.ordinal)), byName) << c.name;
    }
    // Only the decorated names are exported.
    EXPECT_EQ(GetProcAddress(module_, "HVC_Base64Decode"), nullptr);
}

TEST_F(Exports, Base64Decode) {
    struct Case {
        const char* text;
        std::string decoded;
    } cases[] = {
        {nullptr, ""},
        {"", ""},
        {"YWJj", "abc"},
        {"YW Jj", "abc"},
        {"YWJj====", "abc"},
        {"Y\r\nW\r\nJ\r\nj\r\n", "abc"},
        {"\xC3\xBCYW\tJj\x80", "abc"},  // bytes above 0x7F are skipped too
        {"YQ", "a"},
        {"YWI", "ab"},
        {"Y", ""},
        {"YQBi", "a"},  // a, zero byte, b: cut at the zero
        {"QQ==QQ==", "A\x04\x10"},  // "=" does not end the text: same as QQQQ
        {"/+8=", "\xFF\xEF"},
        {"////", "\xFF\xFF\xFF"},
        // Each length of the last group after a whole one.
        {"YWJjZ", "abc"},
        {"YWJjZA", "abcd"},
        {"YWJjZGU", "abcde"},
        {"YWJjZGVm", "abcdef"},
        // Skipped bytes inside groups: high bytes, "=", line breaks.
        {"YW\x80Jj\xFFZGVm", "abcdef"},
        {"YW=Jj=ZG=Vm", "abcdef"},
        {"Y\r\nWJjZ\r\nGVm\r\n", "abcdef"},
        // A zero byte at each place of a group, in a run of whole groups and
        // in a group gathered across skipped bytes.
        {"YWJjAGRl", "abc"},
        {"YWJjZABl", "abcd"},
        {"YWJjZGUA", "abcde"},
        {"YWJj\nZA\nBl", "abcd"},
        {"YWJjAA", "abc"},
    };
    for (const Case& c : cases) EXPECT_EQ(take(base64(c.text)), c.decoded) << (c.text ? c.text : "null");
    std::string big(300000, 'A');
    big += "YWJj";
    EXPECT_EQ(take(base64(big.c_str())), "");  // leading zero bytes
    std::string repeated;
    for (int i = 0; i < 10000; ++i) repeated += "YWJj\n";
    EXPECT_EQ(take(base64(repeated.c_str())).size(), 30000u);
}

namespace {

// Plain Base64 with padding, as an encoder writes it.
std::string encodeBase64(const std::string& bytes) {
    const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        unsigned long bits = 0;
        for (size_t j = 0; j < 3; ++j)
            bits = bits << 8 | (j < n ? static_cast<unsigned char>(bytes[i + j]) : 0u);
        for (size_t j = 0; j < 4; ++j) text += j <= n ? alphabet[(bits >> (18 - 6 * j)) & 63] : '=';
    }
    return text;
}

}  // namespace

// Random data of every small length and a large one, encoded, with bytes
// outside the alphabet strewn anywhere, decodes to the data; a zero byte
// cuts it there.
TEST_F(Exports, Base64DecodeOfEncodedData) {
    std::mt19937 random(20261205);
    auto data = [&](size_t size) {
        std::string bytes(size, '\0');
        for (char& b : bytes) b = static_cast<char>(1 + random() % 255);
        return bytes;
    };
    const char noise[] = "\r\n =\t*-\x80\xC3\xFF";
    auto strew = [&](const std::string& text, unsigned everyNth) {
        std::string out;
        for (char c : text) {
            out += c;
            if (random() % everyNth == 0) out += noise[random() % (sizeof noise - 1)];
        }
        return out;
    };
    for (size_t size = 0; size < 40; ++size) {
        const std::string bytes = data(size);
        EXPECT_EQ(take(base64(encodeBase64(bytes).c_str())), bytes) << size;
        EXPECT_EQ(take(base64(strew(encodeBase64(bytes), 3).c_str())), bytes) << size;
    }
    // Texts starting and ending at every place within a machine word.
    for (size_t offset = 0; offset < 8; ++offset) {
        for (size_t size = 0; size < 12; ++size) {
            const std::string bytes = data(size);
            const std::string text = std::string(8, '*') + encodeBase64(bytes) + std::string(size % 4, '\n');
            EXPECT_EQ(take(base64(text.c_str() + offset)), bytes) << offset << " " << size;
        }
    }
    // 3 MiB in 76-column lines, and with noise.
    const std::string big = data(3 << 20);
    const std::string encoded = encodeBase64(big);
    std::string lines;
    for (size_t i = 0; i < encoded.size(); i += 76) lines += encoded.substr(i, 76) + "\r\n";
    EXPECT_TRUE(take(base64(lines.c_str())) == big);
    EXPECT_TRUE(take(base64(strew(encoded, 50).c_str())) == big);
    // A zero deep inside: only what comes before it.
    std::string cut = big;
    cut[1000001] = '\0';
    EXPECT_TRUE(take(base64(encodeBase64(cut).c_str())) == big.substr(0, 1000001));
}

// Caller texts on both sides of the size copied without an allocation come
// back whole; one that runs into an unreadable page faults there, within
// that size or beyond it.
TEST_F(Exports, CallerTextCopy) {
    for (size_t length : {0, 1, 255, 256, 257, 5000}) {
        std::string name;
        while (name.size() < length) name += "ab1.";
        name.resize(length);
        EXPECT_EQ(take(toUtf8(name.c_str())), name) << length;
    }
    struct Pages {
        char* base = static_cast<char*>(VirtualAlloc(nullptr, 8192, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        ~Pages() { VirtualFree(base, 0, MEM_RELEASE); }
    } pages;
    ASSERT_NE(pages.base, nullptr);
    std::memset(pages.base, 'a', 4096);  // no terminator before the second page
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(pages.base + 4096, 4096, PAGE_NOACCESS, &old));
    for (size_t readable : {100, 300}) {
        EXPECT_EQ(toUtf8(pages.base + 4096 - readable), nullptr) << readable;
        EXPECT_EQ(slot(), "C Exception: 3221225477") << readable;
    }
}

TEST_F(Exports, LastErrorSlot) {
    EXPECT_EQ(freeString(nullptr), 0);
    EXPECT_EQ(lastError(), nullptr);  // empty slot reads as null, not ""

    EXPECT_EQ(toAscii(nullptr), nullptr);
    const std::string failure = slot();
    EXPECT_EQ(failure, "Invalid argument: name is null");
    // The text survives reads and calls without a boundary.
    EXPECT_EQ(slot(), failure);
    EXPECT_EQ(lastError(), lastError());
    take(base64("YWJj"));  // releases through HVC_FreeString, which clears
    EXPECT_EQ(lastError(), nullptr);

    EXPECT_EQ(toUtf8(nullptr), nullptr);
    const char* decoded = base64("YQ");  // no boundary: the slot stays
    EXPECT_EQ(slot(), "Invalid argument: name is null");
    EXPECT_EQ(take(decoded), "a");
    EXPECT_EQ(freeString(nullptr), 0);
    EXPECT_EQ(lastError(), nullptr);

    // A successful call clears an earlier failure.
    EXPECT_EQ(toAscii(nullptr), nullptr);
    const char* ok = toAscii("example.com");
    EXPECT_EQ(lastError(), nullptr);
    freeString(ok);
}

TEST_F(Exports, DomainNames) {
    struct Case {
        const char* input;
        bool toAsciiForm;
        const char* expected;  // null: the call fails
    } cases[] = {
        {"example.com", true, "example.com"},
        {"b\xC3\xBC" "cher.example", true, "xn--bcher-kva.example"},
        {"B\xC3\xBC" "cher.Example", true, "xn--bcher-kva.Example"},  // nameprep folds the label it converts
        {"Example.COM", true, "Example.COM"},  // pure ASCII labels are left as they are
        {"\xE4\xBE\x8B\xE5\xAD\x90.\xE6\xB5\x8B\xE8\xAF\x95", true, "xn--fsqu00a.xn--0zwm56d"},
        {"xn--bcher-kva.example", false, "b\xC3\xBC" "cher.example"},
        {"example.com", false, "example.com"},
        {"xn--zz-!!.example", false, "xn--zz-!!.example"},  // malformed label comes back unchanged
        {"", true, ""},
    };
    for (const Case& c : cases) {
        const char* result = c.toAsciiForm ? toAscii(c.input) : toUtf8(c.input);
        EXPECT_EQ(take(result), c.expected) << c.input;
        EXPECT_EQ(lastError(), nullptr) << c.input;
    }
}

TEST_F(Exports, DomainNameFailures) {
    const std::string longLabel = std::string(64, 'a') + ".example";
    EXPECT_EQ(toAscii(longLabel.c_str()), nullptr);
    EXPECT_EQ(slot(), "Invalid domain name format: (" + longLabel + ").");

    // An oversized name fails cleanly and the next call works.
    std::string huge;
    for (int i = 0; i < 20000; ++i) huge += "b\xC3\xBC" "cher";
    EXPECT_EQ(toAscii(huge.c_str()), nullptr);
    EXPECT_EQ(slot().rfind("Invalid domain name format: (", 0) == 0 ||
                  slot().rfind("Error during punycode operation at convert: (", 0) == 0,
              true)
        << slot().substr(0, 80);
    EXPECT_EQ(take(toAscii("b\xC3\xBC" "cher.example")), "xn--bcher-kva.example");
}

// A string argument that faults when read gives the failure value and the
// machine fault's text; the host goes on.
TEST_F(Exports, UnreadableArgumentIsAMachineFault) {
    struct NoAccessPage {
        void* page = VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
        ~NoAccessPage() { VirtualFree(page, 0, MEM_RELEASE); }
    } bad;
    ASSERT_NE(bad.page, nullptr);
    const char* text = static_cast<const char*>(bad.page);
    auto getParam = bind<HVC_GetParam_t>(HVC_NAME_GetParam);
    auto query = bind<HVC_QueryDbValue_t>(HVC_NAME_QueryDbValue);
    auto executeDb = bind<HVC_ExecuteDb_t>(HVC_NAME_ExecuteDb);
    auto createDirectory = bind<HVC_createDirectory_t>(HVC_NAME_createDirectory);
    auto removeTree = bind<HVC_RemoveDirectoryTree_t>(HVC_NAME_RemoveDirectoryTree);
    auto renameDirectory = bind<HVC_renameDirectory_t>(HVC_NAME_renameDirectory);
    auto execute = bind<HVC_Execute_t>(HVC_NAME_Execute);
    const char* output = nullptr;
    // Each returns whether the call gave its failure value.
    const std::function<bool()> calls[] = {
        [&] { return toAscii(text) == nullptr; },
        [&] { return toUtf8(text) == nullptr; },
        [&] { return getParam(text) == nullptr; },
        [&] { return query(text) == nullptr; },
        [&] { executeDb(text, nullptr); return true; },
        [&] { return createDirectory(text) == 1; },
        [&] { return removeTree(text, 1) == 1; },
        [&] { return renameDirectory("C:\\no-such-dir", text) == 1; },
        [&] { return execute("guest", text, nullptr, 0, nullptr, &output, nullptr, nullptr) == 0xFFFFFFFFul; },
        [&] { return execute("guest", "cmd /c exit", nullptr, 0, text, &output, nullptr, nullptr) == 0xFFFFFFFFul; },
    };
    for (const auto& call : calls) {
        SCOPED_TRACE(&call - calls);
        EXPECT_TRUE(call());
        EXPECT_EQ(slot(), "C Exception: 3221225477");
    }
}
