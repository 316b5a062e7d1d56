#include <gtest/gtest.h>

#include "runtime/exceptions.h"
#include "runtime/text.h"

TEST(Text, ConversionsByCodePage) {
    struct Case {
        std::string narrow;
        unsigned codePage;
        std::wstring wide;
    } cases[] = {
        {"", 0, L""},
        {"plain", 0, L"plain"},
        {"b\xFC" "cher", 0, L"b\u00FCcher"},            // ANSI code page 1252
        {"b\xC3\xBC" "cher", CP_UTF8, L"b\u00FCcher"},  // the same word in UTF-8
        {"\xE4\xB8\xAD\xE6\x96\x87", CP_UTF8, L"\u4E2D\u6587"},
        {std::string("a\0b", 3), 0, std::wstring(L"a\0b", 3)},  // embedded zero kept
    };
    for (const Case& c : cases) {
        EXPECT_EQ(wstr(c.narrow, c.codePage), c.wide) << c.narrow;
        EXPECT_EQ(cstr(c.wide, c.codePage), c.narrow) << c.narrow;
    }
}

TEST(Text, FailedConversionThrowsPlainVexception) {
    try {
        wstr("x", 12345);  // no such code page
        FAIL();
    } catch (const vexception& e) {
        EXPECT_EQ(e.message(), L"Maps a character string to a wide-character (Unicode) string failed");
        ASSERT_EQ(e.locations().size(), 1u);
        EXPECT_EQ(e.locations()[0].function, "wstr");
    }
    try {
        cstr(L"x", 12345);
        FAIL();
    } catch (const vexception& e) {
        EXPECT_EQ(e.message(), L"Maps a wide-character (Unicode) string to a character stringz");
        EXPECT_EQ(e.locations()[0].function, "cstr");
    }
}

TEST(Text, FormatGrowsUpToItsLimit) {
    EXPECT_EQ(format(L"%s=%d", L"x", 42), L"x=42");
    // Past the first 100-character buffer.
    EXPECT_EQ(format(L"%*s|", 250, L"a").size(), 251u);
    // The largest buffer tried holds 6,553,599 characters and a terminator.
    EXPECT_EQ(format(L"%*s", 6553599, L"").size(), 6553599u);
    EXPECT_EQ(format(L"%*s", 6553600, L""), L"Error on try call vaformat");
}
